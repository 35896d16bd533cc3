#include "support/TestHost.h"

#include "hostsupport/Handles.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

TestHost* gCurrent = nullptr;

// A test handle: its first word holds the data address, as the plug-in
// expects of every handle.
struct TestBlock {
  char* data;
  int32_t size;
  int locks;
};

TestBlock* BlockOf(Handle h) { return reinterpret_cast<TestBlock*>(h); }

// ---- descriptors -------------------------------------------------------------
// A descriptor handle holds its entries serialised: key (4 bytes), length
// (4 bytes), alias bytes.

std::string Serialise(const std::vector<TestDescriptorEntry>& entries) {
  std::string out;
  for (const auto& e : entries) {
    uint32_t len = static_cast<uint32_t>(e.alias.size());
    out.append(reinterpret_cast<const char*>(&e.key), 4);
    out.append(reinterpret_cast<const char*>(&len), 4);
    out += e.alias;
  }
  return out;
}

bool Deserialise(const std::string& bytes, std::vector<TestDescriptorEntry>* entries) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 8) return false;
    TestDescriptorEntry e;
    uint32_t len;
    std::memcpy(&e.key, bytes.data() + pos, 4);
    std::memcpy(&len, bytes.data() + pos + 4, 4);
    pos += 8;
    if (bytes.size() - pos < len) return false;
    e.alias = bytes.substr(pos, len);
    pos += len;
    entries->push_back(e);
  }
  return true;
}

struct TestReader {
  std::vector<TestDescriptorEntry> entries;
  std::vector<DescriptorKeyID> expected;
  size_t next = 0;
};

struct TestWriter {
  std::vector<TestDescriptorEntry> entries;
};

PIReadDescriptor GW_HOSTCALL OpenRead(PIDescriptorHandle descriptor, DescriptorKeyID* expected) {
  TestHost* host = gCurrent;
  ++host->descriptors.openReadCalls;
  if (host->descriptors.openReadFails) return nullptr;
  auto* reader = new TestReader;
  if (descriptor != nullptr) Deserialise(host->HandleBytes(descriptor), &reader->entries);
  for (DescriptorKeyID* k = expected; k != nullptr && *k != 0; ++k) reader->expected.push_back(*k);
  return reinterpret_cast<PIReadDescriptor>(reader);
}

ResultCode GW_HOSTCALL CloseRead(PIReadDescriptor token) {
  auto* reader = reinterpret_cast<TestReader*>(token);
  ResultCode code = 0;
  for (DescriptorKeyID k : reader->expected) {
    bool found = false;
    for (const auto& e : reader->entries) found = found || e.key == k;
    if (!found) code = kResultParameterMissing;
  }
  delete reader;
  if (gCurrent->descriptors.overrideCloseRead) return gCurrent->descriptors.closeReadResult;
  return code;
}

HostBoolean GW_HOSTCALL GetKey(PIReadDescriptor token, DescriptorKeyID* key, DescType* type,
                               int32_t* flags) {
  auto* reader = reinterpret_cast<TestReader*>(token);
  if (reader->next >= reader->entries.size()) return 0;
  *key = reader->entries[reader->next].key;
  *type = FourCharCode('a', 'l', 'i', 's');
  *flags = 0;
  ++reader->next;
  return 1;
}

ResultCode GW_HOSTCALL GetAlias(PIReadDescriptor token, Handle* value) {
  auto* reader = reinterpret_cast<TestReader*>(token);
  ++gCurrent->descriptors.getAliasCalls;
  std::string bytes = reader->entries[reader->next - 1].alias;
  if (gCurrent->descriptors.aliasWithoutNuls) {
    while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
  }
  *value = gCurrent->MakeHandle(bytes.data(), static_cast<int32_t>(bytes.size()));
  return 0;
}

PIWriteDescriptor GW_HOSTCALL OpenWrite() {
  ++gCurrent->descriptors.openWriteCalls;
  if (gCurrent->descriptors.openWriteFails) return nullptr;
  return reinterpret_cast<PIWriteDescriptor>(new TestWriter);
}

ResultCode GW_HOSTCALL CloseWrite(PIWriteDescriptor token, PIDescriptorHandle* newDescriptor) {
  auto* writer = reinterpret_cast<TestWriter*>(token);
  std::string bytes = Serialise(writer->entries);
  *newDescriptor = gCurrent->MakeHandle(bytes.data(), static_cast<int32_t>(bytes.size()));
  delete writer;
  return 0;
}

ResultCode GW_HOSTCALL PutAlias(PIWriteDescriptor token, DescriptorKeyID key, Handle value) {
  auto* writer = reinterpret_cast<TestWriter*>(token);
  ++gCurrent->descriptors.putAliasCalls;
  writer->entries.push_back({key, gCurrent->HandleBytes(value)});
  return 0;
}

// The slots the plug-in never calls: present, as a real host's are, and
// answering that they have nothing of that kind.
const ResultCode kWrongType = -1700;
ResultCode GW_HOSTCALL GetInteger(PIReadDescriptor, int32_t*) { return kWrongType; }
ResultCode GW_HOSTCALL GetFloat(PIReadDescriptor, double*) { return kWrongType; }
ResultCode GW_HOSTCALL GetUnitFloat(PIReadDescriptor, DescType*, double*) { return kWrongType; }
ResultCode GW_HOSTCALL GetBoolean(PIReadDescriptor, HostBoolean*) { return kWrongType; }
ResultCode GW_HOSTCALL GetText(PIReadDescriptor, Handle*) { return kWrongType; }
ResultCode GW_HOSTCALL GetEnumerated(PIReadDescriptor, DescType*) { return kWrongType; }
ResultCode GW_HOSTCALL GetClass(PIReadDescriptor, DescType*) { return kWrongType; }
ResultCode GW_HOSTCALL GetSimpleReference(PIReadDescriptor, PIDescriptorSimpleReference*) {
  return kWrongType;
}
ResultCode GW_HOSTCALL GetObject(PIReadDescriptor, DescType*, PIDescriptorHandle*) {
  return kWrongType;
}
ResultCode GW_HOSTCALL GetCount(PIReadDescriptor, uint32_t*) { return kWrongType; }
ResultCode GW_HOSTCALL GetString(PIReadDescriptor, Str255*) { return kWrongType; }
ResultCode GW_HOSTCALL GetPinnedInteger(PIReadDescriptor, int32_t, int32_t, int32_t*) {
  return kWrongType;
}
ResultCode GW_HOSTCALL GetPinnedFloat(PIReadDescriptor, const double*, const double*, double*) {
  return kWrongType;
}
ResultCode GW_HOSTCALL GetPinnedUnitFloat(PIReadDescriptor, const double*, const double*,
                                          DescType*, double*) {
  return kWrongType;
}
ResultCode GW_HOSTCALL PutInteger(PIWriteDescriptor, DescriptorKeyID, int32_t) { return kWrongType; }
ResultCode GW_HOSTCALL PutFloat(PIWriteDescriptor, DescriptorKeyID, const double*) {
  return kWrongType;
}
ResultCode GW_HOSTCALL PutUnitFloat(PIWriteDescriptor, DescriptorKeyID, DescType, const double*) {
  return kWrongType;
}
ResultCode GW_HOSTCALL PutBoolean(PIWriteDescriptor, DescriptorKeyID, HostBoolean) {
  return kWrongType;
}
ResultCode GW_HOSTCALL PutText(PIWriteDescriptor, DescriptorKeyID, Handle) { return kWrongType; }
ResultCode GW_HOSTCALL PutEnumerated(PIWriteDescriptor, DescriptorKeyID, DescType, DescType) {
  return kWrongType;
}
ResultCode GW_HOSTCALL PutClass(PIWriteDescriptor, DescriptorKeyID, DescType) { return kWrongType; }
ResultCode GW_HOSTCALL PutSimpleReference(PIWriteDescriptor, DescriptorKeyID,
                                          const PIDescriptorSimpleReference*) {
  return kWrongType;
}
ResultCode GW_HOSTCALL PutObject(PIWriteDescriptor, DescriptorKeyID, DescType, PIDescriptorHandle) {
  return kWrongType;
}
ResultCode GW_HOSTCALL PutCount(PIWriteDescriptor, DescriptorKeyID, uint32_t) { return kWrongType; }
ResultCode GW_HOSTCALL PutString(PIWriteDescriptor, DescriptorKeyID, const unsigned char*) {
  return kWrongType;
}
ResultCode GW_HOSTCALL PutScopedClass(PIWriteDescriptor, DescriptorKeyID, DescType) {
  return kWrongType;
}
ResultCode GW_HOSTCALL PutScopedObject(PIWriteDescriptor, DescriptorKeyID, DescType,
                                       PIDescriptorHandle*) {
  return kWrongType;
}

// ---- image, abort, progress ----------------------------------------------------

ResultCode GW_HOSTCALL AdvanceState() {
  TestHost* host = gCurrent;
  ExportRecord& r = host->record;
  int request = static_cast<int>(host->bands.requests.size());
  host->bands.requests.push_back(r.theRect);
  host->bands.planes.push_back({r.loPlane, r.hiPlane});
  if (host->bands.failWith != 0 && (host->bands.failAtRequest < 0 || host->bands.failAtRequest == request)) {
    r.data = nullptr;
    return host->bands.failWith;
  }
  int top = r.theRect.top, bottom = r.theRect.bottom;
  int left = r.theRect.left, right = r.theRect.right;
  int lo = r.loPlane, hi = r.hiPlane;
  if (top < 0 || left < 0 || bottom > host->rows || right > host->columns || top >= bottom ||
      left >= right || lo < 0 || hi >= host->planes || lo > hi) {
    return kResultBadParameter;
  }
  int width = right - left, depth = hi - lo + 1;
  // Rows padded so that the plug-in must honour rowBytes.
  int rowBytes = width * depth + 3;
  host->bandBuffer.assign(static_cast<size_t>(rowBytes) * static_cast<size_t>(bottom - top), 0xEE);
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) {
      for (int p = lo; p <= hi; ++p) {
        host->bandBuffer[static_cast<size_t>((y - top) * rowBytes + (x - left) * depth + (p - lo))] =
            host->image[static_cast<size_t>((y * host->columns + x) * host->planes + p)];
      }
    }
  }
  r.data = host->bandBuffer.data();
  r.rowBytes = rowBytes;
  return 0;
}

HostBoolean GW_HOSTCALL TestAbort() {
  TestHost* host = gCurrent;
  int call = host->abortCalls++;
  if (host->abortAtCall >= 0 && call >= host->abortAtCall) return 1;
  if (host->abortAtRow >= 0 && !host->progress.empty() && host->progress.back().first >= host->abortAtRow) {
    return 1;
  }
  return 0;
}

void GW_HOSTCALL TestProgress(int32_t done, int32_t total) {
  gCurrent->progress.push_back({done, total});
  if (gCurrent->onProgress) gCurrent->onProgress(done);
}

}  // namespace

// ---- handle suite ----------------------------------------------------------------

Handle GW_HOSTCALL TestNewHandle(int32_t size) {
  TestHost* host = gCurrent;
  ++host->handles.newCalls;
  if (host->handles.failNew || size < 0) return nullptr;
  auto* block = new TestBlock{static_cast<char*>(std::calloc(1, static_cast<size_t>(size) + 1)), size, 0};
  host->liveHandles.insert(block);
  return reinterpret_cast<Handle>(block);
}

void GW_HOSTCALL TestDisposeHandle(Handle h) {
  TestHost* host = gCurrent;
  ++host->handles.disposeCalls;
  if (h == nullptr) return;
  TestBlock* block = BlockOf(h);
  if (host->liveHandles.erase(block) == 0) {
    std::fprintf(stderr, "TestHost: dispose of a handle it does not know\n");
    std::abort();
  }
  host->handles.lockDepth -= block->locks;
  std::free(block->data);
  delete block;
}

int32_t GW_HOSTCALL TestGetHandleSize(Handle h) {
  if (gCurrent->handles.reportNegativeSize) return -1;
  return h == nullptr ? 0 : BlockOf(h)->size;
}

ResultCode GW_HOSTCALL TestSetHandleSize(Handle, int32_t) { return kResultOutOfMemory; }

char* GW_HOSTCALL TestLockHandle(Handle h, HostBoolean) {
  TestHost* host = gCurrent;
  ++host->handles.lockCalls;
  if (host->handles.nullLock || h == nullptr) return nullptr;
  ++BlockOf(h)->locks;
  ++host->handles.lockDepth;
  return BlockOf(h)->data;
}

void GW_HOSTCALL TestUnlockHandle(Handle h) {
  TestHost* host = gCurrent;
  ++host->handles.unlockCalls;
  if (h != nullptr && BlockOf(h)->locks > 0) {
    --BlockOf(h)->locks;
    --host->handles.lockDepth;
  }
}

void GW_HOSTCALL TestRecoverSpace(int32_t) {}
void GW_HOSTCALL TestDisposeRegular(Handle) {}

// ---- TestHost ----------------------------------------------------------------------

TestHost* CurrentTestHost() { return gCurrent; }

TestHost::TestHost() {
  gCurrent = this;
  handleProcs = HandleProcs{1, 8, TestNewHandle, TestDisposeHandle, TestGetHandleSize,
                            TestSetHandleSize, TestLockHandle, TestUnlockHandle,
                            TestRecoverSpace, TestDisposeRegular};
  readProcs = ReadDescriptorProcs{0, 18, OpenRead, CloseRead, GetKey, GetInteger, GetFloat,
                                  GetUnitFloat, GetBoolean, GetText, GetAlias, GetEnumerated,
                                  GetClass, GetSimpleReference, GetObject, GetCount, GetString,
                                  GetPinnedInteger, GetPinnedFloat, GetPinnedUnitFloat};
  writeProcs = WriteDescriptorProcs{0, 16, OpenWrite, CloseWrite, PutInteger, PutFloat,
                                    PutUnitFloat, PutBoolean, PutText, PutAlias, PutEnumerated,
                                    PutClass, PutSimpleReference, PutObject, PutCount, PutString,
                                    PutScopedClass, PutScopedObject};
  descriptorParameters = PIDescriptorParameters{0, kPlayDialogOptional, 0, nullptr, &writeProcs,
                                                &readProcs};
  record.abortProc = TestAbort;
  record.progressProc = TestProgress;
  record.maxData = 4 * 1024 * 1024;
  record.handleProcs = &handleProcs;
  record.advanceState = AdvanceState;
  record.descriptorParameters = &descriptorParameters;
  record.platformData = &platform;
  record.hostSig = FourCharCode('8', 'B', 'I', 'M');
  record.depth = 8;
  SetImage(1, 1, 1, {0});
  SetDocumentName("untitled");
}

TestHost::~TestHost() {
  // Globals the plug-in made in platform memory (no usable handle suite):
  // the host owns them and releases them the way they were made.
  if (dataCell != 0 && liveHandles.count(reinterpret_cast<void*>(dataCell)) == 0) {
    DisposeHandle(record.handleProcs, reinterpret_cast<Handle>(dataCell));
  }
  // Whatever the plug-in left with the host: its globals, the descriptor.
  for (void* block : liveHandles) {
    std::free(static_cast<TestBlock*>(block)->data);
    delete static_cast<TestBlock*>(block);
  }
  if (gCurrent == this) gCurrent = nullptr;
}

void TestHost::SetImage(int r, int c, int p, std::vector<uint8_t> samples, int16_t mode) {
  rows = r;
  columns = c;
  planes = p;
  image = std::move(samples);
  record.imageMode = mode;
  record.imageSize.v = static_cast<int16_t>(r);
  record.imageSize.h = static_cast<int16_t>(c);
  record.planes = static_cast<int16_t>(p);
}

void TestHost::SetDocumentName(const std::string& name) {
  std::memset(record.filename, 0, sizeof record.filename);
  size_t n = name.size() > 255 ? 255 : name.size();
  record.filename[0] = static_cast<unsigned char>(n);
  std::memcpy(record.filename + 1, name.data(), n);
}

void TestHost::SetRecordedDescriptor(const std::vector<TestDescriptorEntry>& entries, bool present) {
  if (descriptorParameters.descriptor != nullptr) TestDisposeHandle(descriptorParameters.descriptor);
  descriptorParameters.descriptor = nullptr;
  if (!present) return;
  std::string bytes = Serialise(entries);
  descriptorParameters.descriptor = MakeHandle(bytes.data(), static_cast<int32_t>(bytes.size()));
}

bool TestHost::ReadBackDescriptor(std::vector<TestDescriptorEntry>* entries) const {
  entries->clear();
  if (descriptorParameters.descriptor == nullptr) return false;
  return Deserialise(HandleBytes(descriptorParameters.descriptor), entries);
}

int16_t TestHost::Call(int16_t selector) {
  gCurrent = this;
  PluginMain(selector, &record, &dataCell, &resultCell);
  return resultCell;
}

int16_t TestHost::Export() {
  int16_t first = Call(kSelectorPrepare);
  int16_t start = Call(kSelectorStart);
  if (first == 0) first = start;
  int16_t finish = Call(kSelectorFinish);
  if (first == 0) first = finish;
  return first;
}

Handle TestHost::MakeHandle(const void* bytes, int32_t size) {
  bool failNew = handles.failNew;
  handles.failNew = false;
  Handle h = TestNewHandle(size);
  --handles.newCalls;  // not the plug-in's doing
  handles.failNew = failNew;
  if (size > 0) std::memcpy(BlockOf(h)->data, bytes, static_cast<size_t>(size));
  return h;
}

std::string TestHost::HandleBytes(Handle h) const {
  if (h == nullptr || liveHandles.count(BlockOf(h)) == 0) return std::string();
  return std::string(BlockOf(h)->data, static_cast<size_t>(BlockOf(h)->size));
}

bool TestHost::IsLiveHandle(Handle h) const { return liveHandles.count(BlockOf(h)) != 0; }

size_t TestHost::LiveHandleCount() const { return liveHandles.size(); }

PluginGlobals* TestHost::Globals() const {
  if (dataCell == 0) return nullptr;
  return reinterpret_cast<PluginGlobals*>(*reinterpret_cast<Handle>(dataCell));
}

// ---- files -------------------------------------------------------------------------

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool FileExists(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return static_cast<bool>(in);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder + PathSeparator() + name;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}
