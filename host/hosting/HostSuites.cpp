#include "host/hosting/HostSuites.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// A handle: its first word is the data address, as the interface requires.
struct HostHandleBlock {
  char* data;
  int32_t size;
  uint32_t magic;
};

const uint32_t kHandleMagic = 0x474C5948u;  // "GLYH"
std::atomic<size_t> gLiveHandles{0};

HostHandleBlock* BlockOf(Handle handle) {
  auto* block = reinterpret_cast<HostHandleBlock*>(handle);
  return block != nullptr && block->magic == kHandleMagic ? block : nullptr;
}

Handle GW_HOSTCALL NewProc(int32_t size) {
  if (size < 0) return nullptr;
  auto* block = static_cast<HostHandleBlock*>(std::malloc(sizeof(HostHandleBlock)));
  if (block == nullptr) return nullptr;
  // One spare byte so that a zero-size handle still has an address.
  block->data = static_cast<char*>(std::calloc(1, static_cast<size_t>(size) + 1));
  if (block->data == nullptr) {
    std::free(block);
    return nullptr;
  }
  block->size = size;
  block->magic = kHandleMagic;
  ++gLiveHandles;
  return reinterpret_cast<Handle>(block);
}

void GW_HOSTCALL DisposeProc(Handle handle) {
  HostHandleBlock* block = BlockOf(handle);
  if (block == nullptr) return;
  block->magic = 0;
  std::free(block->data);
  std::free(block);
  --gLiveHandles;
}

int32_t GW_HOSTCALL GetSizeProc(Handle handle) {
  HostHandleBlock* block = BlockOf(handle);
  return block != nullptr ? block->size : 0;
}

ResultCode GW_HOSTCALL SetSizeProc(Handle handle, int32_t size) {
  HostHandleBlock* block = BlockOf(handle);
  if (block == nullptr || size < 0) return kResultBadParameter;
  char* data = static_cast<char*>(std::realloc(block->data, static_cast<size_t>(size) + 1));
  if (data == nullptr) return kResultOutOfMemory;
  if (size > block->size) std::memset(data + block->size, 0, static_cast<size_t>(size - block->size) + 1);
  block->data = data;
  block->size = size;
  return kResultOk;
}

char* GW_HOSTCALL LockProc(Handle handle, HostBoolean) {
  HostHandleBlock* block = BlockOf(handle);
  return block != nullptr ? block->data : nullptr;
}

void GW_HOSTCALL UnlockProc(Handle) {}
void GW_HOSTCALL RecoverSpaceProc(int32_t) {}
void GW_HOSTCALL DisposeRegularProc(Handle handle) { DisposeProc(handle); }

HandleProcs gHandleProcs = {1, 8, NewProc, DisposeProc, GetSizeProc, SetSizeProc,
                            LockProc, UnlockProc, RecoverSpaceProc, DisposeRegularProc};

// ---- descriptors ----------------------------------------------------------------
// A descriptor handle holds "GWD1", then per parameter: key (4 bytes,
// little-endian), length (4), the alias bytes.

const char kDescriptorTag[4] = {'G', 'W', 'D', '1'};

void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetU32(const std::string& in, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + static_cast<size_t>(i)])) << (8 * i);
  return v;
}

std::string WithoutTrailingNuls(std::string s) {
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

struct Reader {
  RecordedStep step;
  std::vector<DescriptorKeyID> expected;
  size_t next;
};

struct Writer {
  RecordedStep step;
};

PIReadDescriptor GW_HOSTCALL OpenRead(PIDescriptorHandle descriptor, DescriptorKeyID* expected) {
  auto* reader = new (std::nothrow) Reader{};
  if (reader == nullptr) return nullptr;
  if (descriptor != nullptr) ReadDescriptor(descriptor, &reader->step);
  for (DescriptorKeyID* k = expected; k != nullptr && *k != 0; ++k) reader->expected.push_back(*k);
  return reinterpret_cast<PIReadDescriptor>(reader);
}

ResultCode GW_HOSTCALL CloseRead(PIReadDescriptor token) {
  auto* reader = reinterpret_cast<Reader*>(token);
  if (reader == nullptr) return kResultOk;
  ResultCode code = kResultOk;
  for (DescriptorKeyID key : reader->expected) {
    bool found = false;
    for (const StepParameter& p : reader->step.parameters) found = found || p.key == key;
    if (!found) code = kResultParameterMissing;
  }
  delete reader;
  return code;
}

HostBoolean GW_HOSTCALL GetKey(PIReadDescriptor token, DescriptorKeyID* key, DescType* type,
                               int32_t* flags) {
  auto* reader = reinterpret_cast<Reader*>(token);
  if (reader == nullptr || reader->next >= reader->step.parameters.size()) return 0;
  *key = reader->step.parameters[reader->next].key;
  *type = FourCharCode('a', 'l', 'i', 's');
  *flags = 0;
  ++reader->next;
  return 1;
}

ResultCode GW_HOSTCALL GetAlias(PIReadDescriptor token, Handle* value) {
  auto* reader = reinterpret_cast<Reader*>(token);
  if (reader == nullptr || reader->next == 0) return kResultBadParameter;
  const std::string& alias = reader->step.parameters[reader->next - 1].alias;
  *value = HostNewHandle(alias.data(), static_cast<int32_t>(alias.size()));
  return *value != nullptr ? kResultOk : kResultOutOfMemory;
}

PIWriteDescriptor GW_HOSTCALL OpenWrite() {
  return reinterpret_cast<PIWriteDescriptor>(new (std::nothrow) Writer{});
}

ResultCode GW_HOSTCALL CloseWrite(PIWriteDescriptor token, PIDescriptorHandle* descriptor) {
  auto* writer = reinterpret_cast<Writer*>(token);
  if (writer == nullptr) return kResultBadParameter;
  *descriptor = MakeDescriptor(writer->step);
  delete writer;
  return *descriptor != nullptr ? kResultOk : kResultOutOfMemory;
}

ResultCode GW_HOSTCALL PutAlias(PIWriteDescriptor token, DescriptorKeyID key, Handle value) {
  auto* writer = reinterpret_cast<Writer*>(token);
  if (writer == nullptr) return kResultBadParameter;
  StepParameter p;
  p.key = key;
  p.alias = WithoutTrailingNuls(HostHandleBytes(value));
  for (StepParameter& existing : writer->step.parameters) {
    if (existing.key == key) {
      existing = p;
      return kResultOk;
    }
  }
  writer->step.parameters.push_back(p);
  return kResultOk;
}

// Values the host does not keep.
ResultCode GW_HOSTCALL GetInteger(PIReadDescriptor, int32_t*) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL GetFloat(PIReadDescriptor, double*) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL GetUnitFloat(PIReadDescriptor, DescType*, double*) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL GetBoolean(PIReadDescriptor, HostBoolean*) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL GetText(PIReadDescriptor, Handle*) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL GetEnumerated(PIReadDescriptor, DescType*) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL GetClass(PIReadDescriptor, DescType*) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL GetSimpleReference(PIReadDescriptor, PIDescriptorSimpleReference*) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL GetObject(PIReadDescriptor, DescType*, PIDescriptorHandle*) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL GetCount(PIReadDescriptor, uint32_t*) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL GetString(PIReadDescriptor, Str255*) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL GetPinnedInteger(PIReadDescriptor, int32_t, int32_t, int32_t*) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL GetPinnedFloat(PIReadDescriptor, const double*, const double*, double*) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL GetPinnedUnitFloat(PIReadDescriptor, const double*, const double*, DescType*,
                                          double*) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL PutInteger(PIWriteDescriptor, DescriptorKeyID, int32_t) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL PutFloat(PIWriteDescriptor, DescriptorKeyID, const double*) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL PutUnitFloat(PIWriteDescriptor, DescriptorKeyID, DescType, const double*) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL PutBoolean(PIWriteDescriptor, DescriptorKeyID, HostBoolean) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL PutText(PIWriteDescriptor, DescriptorKeyID, Handle) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL PutEnumerated(PIWriteDescriptor, DescriptorKeyID, DescType, DescType) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL PutClass(PIWriteDescriptor, DescriptorKeyID, DescType) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL PutSimpleReference(PIWriteDescriptor, DescriptorKeyID,
                                          const PIDescriptorSimpleReference*) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL PutObject(PIWriteDescriptor, DescriptorKeyID, DescType, PIDescriptorHandle) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL PutCount(PIWriteDescriptor, DescriptorKeyID, uint32_t) { return kResultWrongDataType; }
ResultCode GW_HOSTCALL PutString(PIWriteDescriptor, DescriptorKeyID, const unsigned char*) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL PutScopedClass(PIWriteDescriptor, DescriptorKeyID, DescType) {
  return kResultWrongDataType;
}
ResultCode GW_HOSTCALL PutScopedObject(PIWriteDescriptor, DescriptorKeyID, DescType, PIDescriptorHandle*) {
  return kResultWrongDataType;
}

ReadDescriptorProcs gReadProcs = {0, 18, OpenRead, CloseRead, GetKey, GetInteger, GetFloat,
                                  GetUnitFloat, GetBoolean, GetText, GetAlias, GetEnumerated,
                                  GetClass, GetSimpleReference, GetObject, GetCount, GetString,
                                  GetPinnedInteger, GetPinnedFloat, GetPinnedUnitFloat};

WriteDescriptorProcs gWriteProcs = {0, 16, OpenWrite, CloseWrite, PutInteger, PutFloat,
                                    PutUnitFloat, PutBoolean, PutText, PutAlias, PutEnumerated,
                                    PutClass, PutSimpleReference, PutObject, PutCount, PutString,
                                    PutScopedClass, PutScopedObject};

}  // namespace

HandleProcs* HostHandleProcs() { return &gHandleProcs; }
ReadDescriptorProcs* HostReadDescriptorProcs() { return &gReadProcs; }
WriteDescriptorProcs* HostWriteDescriptorProcs() { return &gWriteProcs; }

Handle HostNewHandle(const void* bytes, int32_t size) {
  Handle handle = NewProc(size);
  if (handle != nullptr && size > 0) std::memcpy(*handle, bytes, static_cast<size_t>(size));
  return handle;
}

void HostDisposeHandle(Handle handle) { DisposeProc(handle); }

std::string HostHandleBytes(Handle handle) {
  HostHandleBlock* block = BlockOf(handle);
  if (block == nullptr) return std::string();
  return std::string(block->data, static_cast<size_t>(block->size));
}

size_t HostLiveHandles() { return gLiveHandles; }

PIDescriptorHandle MakeDescriptor(const RecordedStep& step) {
  std::string bytes(kDescriptorTag, 4);
  for (const StepParameter& p : step.parameters) {
    PutU32(&bytes, p.key);
    PutU32(&bytes, static_cast<uint32_t>(p.alias.size()));
    bytes += p.alias;
  }
  return HostNewHandle(bytes.data(), static_cast<int32_t>(bytes.size()));
}

bool ReadDescriptor(PIDescriptorHandle descriptor, RecordedStep* step) {
  step->parameters.clear();
  std::string bytes = HostHandleBytes(descriptor);
  if (bytes.size() < 4 || bytes.compare(0, 4, kDescriptorTag, 4) != 0) return false;
  size_t pos = 4;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 8) return false;
    StepParameter p;
    p.key = GetU32(bytes, pos);
    uint32_t length = GetU32(bytes, pos + 4);
    pos += 8;
    if (length > bytes.size() - pos) return false;
    p.alias = bytes.substr(pos, length);
    pos += length;
    step->parameters.push_back(p);
  }
  return true;
}
