#include "platform/GlobalMemory.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Each block carries a small header in front of its data, so that the block
// can be found again from the data address, as GlobalHandle does.
struct alignas(16) BlockHeader {
  uint32_t magic;
  uint32_t size;
  uint32_t lockCount;
};

const uint32_t kBlockMagic = 0x474D424Bu;  // "GMBK"

BlockHeader* HeaderOf(PlatformMemoryBlock block) {
  return static_cast<BlockHeader*>(block);
}

unsigned char* DataOf(BlockHeader* header) {
  return reinterpret_cast<unsigned char*>(header) + sizeof(BlockHeader);
}

}  // namespace

PlatformMemoryBlock PlatformGlobalAlloc(uint32_t size) {
  if (size > UINT32_MAX - sizeof(BlockHeader)) return nullptr;
  void* raw = std::calloc(1, sizeof(BlockHeader) + size);
  if (raw == nullptr) return nullptr;
  BlockHeader* header = new (raw) BlockHeader{kBlockMagic, size, 0};
  return header;
}

void* PlatformGlobalLock(PlatformMemoryBlock block) {
  BlockHeader* header = HeaderOf(block);
  // A block of 0 bytes is a discarded block: it has no address to give.
  if (header == nullptr || header->magic != kBlockMagic || header->size == 0) return nullptr;
  ++header->lockCount;
  return DataOf(header);
}

void PlatformGlobalUnlock(PlatformMemoryBlock block) {
  BlockHeader* header = HeaderOf(block);
  if (header != nullptr && header->magic == kBlockMagic && header->lockCount > 0) --header->lockCount;
}

PlatformMemoryBlock PlatformGlobalHandle(const void* address) {
  if (address == nullptr) return nullptr;
  const unsigned char* data = static_cast<const unsigned char*>(address);
  // Only addresses this allocator handed out are asked about.
  BlockHeader* header = reinterpret_cast<BlockHeader*>(const_cast<unsigned char*>(data) - sizeof(BlockHeader));
  return header->magic == kBlockMagic ? header : nullptr;
}

size_t PlatformGlobalSize(PlatformMemoryBlock block) {
  BlockHeader* header = HeaderOf(block);
  if (header == nullptr || header->magic != kBlockMagic) return 0;
  return header->size;
}

void PlatformGlobalFree(PlatformMemoryBlock block) {
  BlockHeader* header = HeaderOf(block);
  if (header == nullptr || header->magic != kBlockMagic) return;
  header->magic = 0;
  std::free(header);
}
