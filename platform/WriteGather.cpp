#include "platform/WriteGather.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// One slot per open output file. Exports run on several threads at once, each
// with its own file: a slot's `file` is the only field another thread ever
// reads (while looking for its own), and everything else belongs to the
// thread that claimed the slot until it gives it back.
struct Slot {
  std::atomic<int32_t> file{0};  // 0 = free
  char* buffer = nullptr;
  size_t capacity = 0;
  size_t used = 0;
  uint64_t offset = 0;  // bytes handed to the system so far
  bool failed = false;
  bool handToDisk = false;
};

// More output files than this at once are written straight through.
const size_t kSlots = 64;
Slot slots[kSlots];

size_t FirstSlotFor(int32_t file) {
  // Descriptors are small numbers and Windows handles multiples of 4: spread
  // both over the table.
  return ((static_cast<uint32_t>(file) * 2654435761u) >> 26) & (kSlots - 1);
}

Slot* FindSlot(int32_t file) {
  if (file == 0) return nullptr;
  size_t first = FirstSlotFor(file);
  for (size_t i = 0; i < kSlots; ++i) {
    Slot& slot = slots[(first + i) & (kSlots - 1)];
    if (slot.file.load(std::memory_order_acquire) == file) return &slot;
  }
  return nullptr;
}

Slot* ClaimSlot(int32_t file) {
  size_t first = FirstSlotFor(file);
  for (size_t i = 0; i < kSlots; ++i) {
    Slot& slot = slots[(first + i) & (kSlots - 1)];
    int32_t expected = 0;
    if (slot.file.compare_exchange_strong(expected, file, std::memory_order_acq_rel)) return &slot;
  }
  return nullptr;
}

void Handed(Slot* slot, size_t count) {
  if (slot->handToDisk && count > 0) {
    StartWriteback(slot->file.load(std::memory_order_relaxed), slot->offset, count);
  }
  slot->offset += count;
}

bool WriteOut(Slot* slot, const char* data, size_t count) {
  size_t written = 0;
  bool ok = WriteStraight(slot->file.load(std::memory_order_relaxed), data, count, &written);
  Handed(slot, written);
  if (!ok || written != count) slot->failed = true;
  return !slot->failed;
}

bool Flush(Slot* slot) {
  size_t pending = slot->used;
  slot->used = 0;
  return pending == 0 || WriteOut(slot, slot->buffer, pending);
}

}  // namespace

void GatherAttach(PlatformFile file, bool handToDisk) {
  if (file == 0) return;
  // The system hands out a number only once it is free: a slot that still
  // holds it belonged to a file closed behind the plug-in's back.
  Slot* slot = FindSlot(file);
  if (slot == nullptr) slot = ClaimSlot(file);
  if (slot == nullptr) return;
  if (slot->buffer == nullptr) {
    slot->buffer = static_cast<char*>(std::malloc(kGatherCapacity));
  }
  slot->capacity = slot->buffer != nullptr ? kGatherCapacity : 0;
  slot->used = 0;
  slot->offset = 0;
  slot->failed = false;
  slot->handToDisk = handToDisk;
}

bool GatherWrite(PlatformFile file, const void* data, int32_t count, int32_t* written, bool* ok) {
  Slot* slot = FindSlot(file);
  if (slot == nullptr) return false;
  *written = 0;
  *ok = false;
  if (slot->failed || count < 0) return true;
  size_t size = static_cast<size_t>(count);
  const char* bytes = static_cast<const char*>(data);
  if (size > slot->capacity - slot->used) {
    if (!Flush(slot)) return true;
    // Copying a line as large as the buffer would only add work.
    if (size >= slot->capacity) {
      if (!WriteOut(slot, bytes, size)) return true;
      *written = count;
      *ok = true;
      return true;
    }
  }
  if (size > 0) std::memcpy(slot->buffer + slot->used, bytes, size);
  slot->used += size;
  *written = count;
  *ok = true;
  return true;
}

bool GatherDetach(PlatformFile file, bool flush) {
  Slot* slot = FindSlot(file);
  if (slot == nullptr) return true;
  bool ok = !slot->failed && (!flush || Flush(slot));
  std::free(slot->buffer);
  slot->buffer = nullptr;
  slot->capacity = 0;
  slot->used = 0;
  slot->failed = false;
  slot->file.store(0, std::memory_order_release);
  return ok;
}
