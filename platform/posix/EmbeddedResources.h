// The compiled resources that the build links into the ELF section "gw_rsrc"
// of the module (and of every test program).
#pragma once

#include <cstddef>
#include <cstdint>

struct EmbeddedResources {
  const uint8_t* bytes;
  size_t size;
};

EmbeddedResources GetEmbeddedResources();

// The name of the ELF section that carries them; hosts look it up by name.
#define GW_RESOURCE_SECTION "gw_rsrc"
