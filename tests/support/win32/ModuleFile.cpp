#include "support/ModuleFile.h"

#include <windows.h>

namespace {

HMODULE Module() {
  static HMODULE module = LoadLibraryA(GW_MODULE_FILE);
  return module;
}

bool Read(HRSRC found, std::string* bytes) {
  if (found == nullptr) return false;
  HGLOBAL loaded = LoadResource(Module(), found);
  DWORD size = SizeofResource(Module(), found);
  const void* data = LockResource(loaded);
  if (data == nullptr) return false;
  bytes->assign(static_cast<const char*>(data), size);
  return true;
}

const WORD kUsEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

}  // namespace

bool ModuleResource(const char* typeName, unsigned typeNumber, unsigned id, std::string* bytes) {
  if (Module() == nullptr) return false;
  LPCSTR type = typeName != nullptr ? typeName : MAKEINTRESOURCEA(typeNumber);
  if (FindResourceA(Module(), MAKEINTRESOURCEA(id), type) == nullptr) return false;
  return Read(FindResourceExA(Module(), type, MAKEINTRESOURCEA(id), kUsEnglish), bytes);
}

bool ModuleNamedResource(unsigned typeNumber, const char* name, std::string* bytes) {
  if (Module() == nullptr) return false;
  return Read(FindResourceExA(Module(), MAKEINTRESOURCEA(typeNumber), name, kUsEnglish), bytes);
}

bool ModuleString(unsigned id, std::string* text) {
  if (Module() == nullptr) return false;
  char buffer[1024] = {0};
  int n = LoadStringA(Module(), id, buffer, sizeof buffer);
  if (n <= 0) return false;
  text->assign(buffer, static_cast<size_t>(n));
  return true;
}

PluginEntryProc ModuleEntry() {
  if (Module() == nullptr) return nullptr;
  FARPROC proc = GetProcAddress(Module(), "PluginMain");
  return reinterpret_cast<PluginEntryProc>(reinterpret_cast<void (*)()>(proc));
}
