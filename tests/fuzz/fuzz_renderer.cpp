// The renderer against hostile host records: any sizes, budgets, row
// distances, aborts and refused bands. It must never read outside what the
// host delivered, never request an area outside the image, and leave either
// the complete text or a failure code.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "render/Renderer.h"

namespace {

struct FuzzHost {
  ExportRecord record;
  int32_t rows, columns, planes;
  int32_t padding;       // extra bytes per delivered row
  int32_t failAtRequest; // -1: never
  int32_t abortAtCall;   // -1: never
  int32_t requests, abortCalls, nextTop;
  std::vector<uint8_t> band;
};
FuzzHost* gHost;

[[noreturn]] void Fail() { __builtin_trap(); }

ResultCode GW_HOSTCALL Serve() {
  FuzzHost& h = *gHost;
  const Rect& r = h.record.theRect;
  if (r.top != h.nextTop || r.left != 0 || r.right != h.columns || r.top >= r.bottom ||
      r.bottom > h.rows || h.record.loPlane != 0 || h.record.hiPlane != h.planes - 1) {
    Fail();  // an area outside the image, or out of order
  }
  h.nextTop = r.bottom;
  if (h.requests++ == h.failAtRequest) return -108;
  int64_t rowBytes = static_cast<int64_t>(h.columns) * h.planes + h.padding;
  int64_t size = rowBytes * (r.bottom - r.top);
  if (size > (8 << 20)) return -108;  // more than this host will hold
  // Exactly the delivered bytes: the sanitizer catches a read past them.
  h.band.assign(static_cast<size_t>(size), 0);
  for (size_t i = 0; i < h.band.size(); ++i) h.band[i] = static_cast<uint8_t>(i * 7 + static_cast<size_t>(r.top));
  h.band.shrink_to_fit();
  h.record.data = h.band.data();
  h.record.rowBytes = static_cast<int32_t>(rowBytes);
  return 0;
}

HostBoolean GW_HOSTCALL Abort() { return gHost->abortCalls++ == gHost->abortAtCall ? 1 : 0; }
void GW_HOSTCALL Progress(int32_t done, int32_t total) {
  if (done < 0 || done >= total) Fail();
}

template <typename T>
T Take(const uint8_t*& data, size_t& size) {
  T value{};
  size_t n = size < sizeof(T) ? size : sizeof(T);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzHost host{};
  host.rows = Take<int16_t>(data, size);
  host.columns = Take<int16_t>(data, size);
  host.planes = Take<int16_t>(data, size);
  int32_t maxData = Take<int32_t>(data, size);
  host.padding = Take<uint8_t>(data, size);
  host.failAtRequest = Take<int8_t>(data, size);
  host.abortAtCall = Take<int16_t>(data, size);
  int16_t earlier = Take<int16_t>(data, size) % 4 == 0 ? -1715 : 0;

  // Keep each input quick: at most a few million samples.
  if (host.rows > 0 && host.columns > 0 && host.planes > 0 &&
      static_cast<int64_t>(host.rows) * host.columns * host.planes > (4 << 20)) {
    return 0;
  }

  host.record.imageSize.v = static_cast<int16_t>(host.rows);
  host.record.imageSize.h = static_cast<int16_t>(host.columns);
  host.record.planes = static_cast<int16_t>(host.planes);
  host.record.maxData = maxData;
  host.record.advanceState = Serve;
  host.record.abortProc = Abort;
  host.record.progressProc = Progress;
  gHost = &host;

  int fd = memfd_create("render", MFD_CLOEXEC);
  if (fd < 0) return 0;
  int16_t result = earlier;
  PluginGlobals globals{};
  globals.result = &result;
  globals.stuff = &host.record;
  globals.fileRef = fd;
  bool ok = WriteImageAsText(&globals);
  off_t written = lseek(fd, 0, SEEK_END);
  close(fd);

  if (ok) {
    int64_t expected = host.rows <= 0 ? 0 : static_cast<int64_t>(host.rows) * (static_cast<int64_t>(host.columns) * host.planes + 1);
    if (written != expected || result != earlier) Fail();
  } else if (result == 0) {
    Fail();  // a failure must leave its code
  }
  return 0;
}
