// Output path selection without the dialog, on random document names and
// recorded paths: the path always fits the `filename` field with its NUL,
// nothing else in the parameter block changes, and the recorded handle is
// always released.
//
// Input: one length byte and up to 255 characters of document name, one
// byte of options (bit 0: a path was recorded), then the recorded bytes.
//
// fuzz-seconds: 30
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "output/OutputPath.h"
#include "plugin/HostInterface.h"
#include "plugin/PluginGlobals.h"

namespace {

int gLiveHandles = 0;

struct Block {
  char* data;
  int32_t size;
};

Handle GW_HOSTCALL NewBlock(int32_t size) {
  if (size < 0) return nullptr;
  auto* b = static_cast<Block*>(std::malloc(sizeof(Block)));
  b->data = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
  b->size = size;
  ++gLiveHandles;
  return reinterpret_cast<Handle>(b);
}
void GW_HOSTCALL DisposeBlock(Handle h) {
  if (h == nullptr) return;
  auto* b = reinterpret_cast<Block*>(h);
  std::free(b->data);
  std::free(b);
  --gLiveHandles;
}
int32_t GW_HOSTCALL BlockSize(Handle h) { return h == nullptr ? 0 : reinterpret_cast<Block*>(h)->size; }
ResultCode GW_HOSTCALL SetBlockSize(Handle, int32_t) { return kResultOutOfMemory; }
char* GW_HOSTCALL LockBlock(Handle h, HostBoolean) { return h == nullptr ? nullptr : reinterpret_cast<Block*>(h)->data; }
void GW_HOSTCALL UnlockBlock(Handle) {}

// The parameter block with guards on both sides.
struct Guarded {
  unsigned char before[64];
  ExportRecord record;
  unsigned char after[64];
};

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t pos = 0;
  size_t nameLength = size > 0 ? data[pos++] : 0;
  if (nameLength > size - pos) nameLength = size - pos;
  const uint8_t* name = data + pos;
  pos += nameLength;
  uint8_t options = pos < size ? data[pos++] : 0;
  const uint8_t* recorded = data + pos;
  size_t recordedLength = size - pos;

  HandleProcs procs{1, 8, NewBlock, DisposeBlock, BlockSize, SetBlockSize, LockBlock, UnlockBlock, nullptr, nullptr};
  static Guarded guarded;
  std::memset(&guarded, 0xA5, sizeof guarded);
  ExportRecord& record = guarded.record;
  record.handleProcs = &procs;
  record.filename[0] = static_cast<unsigned char>(nameLength);
  std::memcpy(record.filename + 1, name, nameLength);

  int16_t result = 0;
  PluginGlobals globals{};
  globals.result = &result;
  globals.stuff = &record;
  globals.queryForParameters = false;
  globals.sameTitle = 0x5A;
  if (options & 1) {
    globals.pathHandle = NewBlock(static_cast<int32_t>(recordedLength));
    std::memcpy(*globals.pathHandle, recorded, recordedLength);
  }

  static Guarded before;
  std::memcpy(&before, &guarded, sizeof guarded);
  bool chosen = SelectOutputPath(&globals);

  // Only the field changed.
  const size_t fieldStart = offsetof(Guarded, record) + offsetof(ExportRecord, filename);
  const size_t fieldEnd = fieldStart + sizeof record.filename;
  const auto* now = reinterpret_cast<const unsigned char*>(&guarded);
  const auto* was = reinterpret_cast<const unsigned char*>(&before);
  Check(std::memcmp(now, was, fieldStart) == 0);
  Check(std::memcmp(now + fieldEnd, was + fieldEnd, sizeof guarded - fieldEnd) == 0);

  const char* path = reinterpret_cast<const char*>(record.filename);
  size_t length = strnlen(path, sizeof record.filename);
  if (chosen) {
    Check(result == 0);
    Check(length <= kOutputPathMax);
    Check(length >= 4 && std::memcmp(path + length - 4, ".txt", 4) == 0);
  } else {
    Check(result == kResultFileOpenError);
  }
  Check(globals.pathHandle == nullptr);
  Check(gLiveHandles == 0);
  Check(globals.sameTitle == 0x5A);
  return 0;
}
