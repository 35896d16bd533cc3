#include "host/image/readers/SharedLibrary.h"

#include <dlfcn.h>

bool OpenSharedLibrary(const std::string& soname, const char* const* symbols,
                       std::vector<void*>* addresses, std::string* error, bool* absent) {
  if (absent != nullptr) *absent = false;
  void* library = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* text = dlerror();
    const std::string why = text != nullptr ? text : "unknown reason";
    // glibc names the file it could not find: this one, or one it needs.
    if (absent != nullptr) *absent = why.rfind(soname + ": cannot open shared object file", 0) == 0;
    *error = "cannot load " + soname + " (" + why + ")";
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
