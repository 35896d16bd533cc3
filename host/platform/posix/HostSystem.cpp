#include "host/platform/HostSystem.h"

#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "platform/posix/ElfSection.h"
#include "platform/posix/EmbeddedResources.h"
#include "platform/posix/ResFile.h"

struct LoadedModule {
  void* handle;
  std::string path;
};

LoadedModule* LoadPluginModule(const std::string& path, std::string* error) {
  // dlopen searches the library path for a bare name; a host loads the file
  // it was given.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : "cannot load " + path;
    return nullptr;
  }
  return new LoadedModule{handle, file};
}

void UnloadPluginModule(LoadedModule* module) {
  if (module == nullptr) return;
  dlclose(module->handle);
  delete module;
}

void* FindModuleFunction(LoadedModule* module, const std::string& name) {
  return dlsym(module->handle, name.c_str());
}

bool ReadModulePropertyList(LoadedModule* module, std::string* bytes, std::string* error) {
  std::string resources;
  if (!ReadElfSection(module->path, GW_RESOURCE_SECTION, &resources, error)) return false;
  ResData found{};
  if (!ResFind(reinterpret_cast<const uint8_t*>(resources.data()), resources.size(), ResName("PIPL"),
               ResNumber(16000), kResAnyLanguage, &found)) {
    *error = module->path + " has no property list";
    return false;
  }
  bytes->assign(reinterpret_cast<const char*>(found.bytes), found.size);
  return true;
}

std::string DefaultModulePath() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "Glyphweave.so";
  // /proc/self/exe is the program itself, symbolic links resolved, so a
  // link to an installed program still finds the installed module.
  std::string exe(self, static_cast<size_t>(n));
  std::string folder = exe.substr(0, exe.rfind('/') + 1);
  // The build tree keeps the module beside the program; an installed
  // program (bin/glyphweave) has it in lib/glyphweave/ of the same prefix.
  std::string beside = folder + "Glyphweave.so";
  if (access(beside.c_str(), F_OK) == 0) return beside;
  // The path is resolved, so its parent folder is the text before the last
  // separator; messages then name /usr/lib/... rather than /usr/bin/../lib/...
  size_t parentEnd = folder.size() > 1 ? folder.rfind('/', folder.size() - 2) : std::string::npos;
  std::string prefix = parentEnd != std::string::npos ? folder.substr(0, parentEnd + 1) : folder + "../";
  return prefix + "lib/glyphweave/Glyphweave.so";
}

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

int TerminalColumns(FILE* stream) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

char NativeSeparator() { return '/'; }

bool IsFolder(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
