#include "platform/posix/EmbeddedResources.h"

// The linker defines these around a section whose name is a C identifier.
extern "C" {
extern const uint8_t __start_gw_rsrc[] __attribute__((visibility("hidden")));
extern const uint8_t __stop_gw_rsrc[] __attribute__((visibility("hidden")));
}

EmbeddedResources GetEmbeddedResources() {
  return EmbeddedResources{__start_gw_rsrc, static_cast<size_t>(__stop_gw_rsrc - __start_gw_rsrc)};
}
