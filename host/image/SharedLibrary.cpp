#include "host/image/SharedLibrary.h"

#include <dlfcn.h>

bool OpenSharedLibrary(const std::string& soname, const char* const* symbols,
                       std::vector<void*>* addresses, std::string* error) {
  void* library = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    *error = "cannot load " + soname + " (" + (why != nullptr ? why : "unknown reason") + ")";
    return false;
  }
  addresses->clear();
  for (const char* const* name = symbols; *name != nullptr; ++name) {
    void* address = dlsym(library, *name);
    if (address == nullptr) {
      *error = soname + " lacks " + *name;
      return false;
    }
    addresses->push_back(address);
  }
  return true;
}
