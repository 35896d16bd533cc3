#include "support/ModuleFile.h"

#include <dlfcn.h>

#include "platform/posix/Cp1252.h"
#include "platform/posix/EmbeddedResources.h"
#include "platform/posix/ElfSection.h"
#include "platform/posix/ResFile.h"

namespace {

const std::string& ModuleResources() {
  static std::string bytes = [] {
    std::string b, error;
    if (!ReadElfSection(GW_MODULE_PATH, GW_RESOURCE_SECTION, &b, &error)) b.clear();
    return b;
  }();
  return bytes;
}

const uint8_t* Image() { return reinterpret_cast<const uint8_t*>(ModuleResources().data()); }

}  // namespace

bool ModuleResource(const char* typeName, unsigned typeNumber, unsigned id, std::string* bytes) {
  ResId type = typeName != nullptr ? ResName(typeName) : ResNumber(static_cast<uint16_t>(typeNumber));
  ResData found{};
  if (!ResFind(Image(), ModuleResources().size(), type, ResNumber(static_cast<uint16_t>(id)), 1033,
               &found)) {
    return false;
  }
  bytes->assign(reinterpret_cast<const char*>(found.bytes), found.size);
  return true;
}

bool ModuleNamedResource(unsigned typeNumber, const char* name, std::string* bytes) {
  ResData found{};
  if (!ResFind(Image(), ModuleResources().size(), ResNumber(static_cast<uint16_t>(typeNumber)),
               ResName(name), 1033, &found)) {
    return false;
  }
  bytes->assign(reinterpret_cast<const char*>(found.bytes), found.size);
  return true;
}

bool ModuleString(unsigned id, std::string* text) {
  const uint8_t* units = nullptr;
  uint32_t count = 0;
  if (!ResFindString(Image(), ModuleResources().size(), id, &units, &count)) return false;
  text->clear();
  for (uint32_t i = 0; i < count; ++i) {
    text->push_back(static_cast<char>(Cp1252FromUtf16(static_cast<uint16_t>(units[2 * i] | units[2 * i + 1] << 8))));
  }
  return true;
}

PluginEntryProc ModuleEntry() {
  void* module = dlopen(GW_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<PluginEntryProc>(dlsym(module, "PluginMain"));
}
