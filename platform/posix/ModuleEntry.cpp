// The module's load hook, the POSIX counterpart of DllMain: remembers the
// module's instance (its load address) before any call of PluginMain.
#include <dlfcn.h>

#include "plugin/ModuleInstance.h"

namespace {

__attribute__((constructor)) void AttachModule() {
  Dl_info info{};
  static const char marker = 0;
  void* base = dladdr(&marker, &info) != 0 ? info.dli_fbase : nullptr;
  OnModuleAttach(base != nullptr ? base : const_cast<char*>(&marker));
}

}  // namespace
