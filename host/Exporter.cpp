#include "host/Exporter.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/BandReader.h"
#include "host/Progress.h"
#include "hostsupport/CheckedSize.h"

volatile std::sig_atomic_t gInterrupted = 0;

namespace {

// The one export in progress: the callbacks carry no context.
struct ActiveExport {
  ExportRecord record;
  PlatformData platform;
  PIDescriptorParameters descriptors;
  ImageFile* image;
  ImageInfo info;
  BandReader* bands;
  ProgressBar progress;
  bool readFailed;
  std::string readError;
};
ActiveExport* gActive = nullptr;

// The largest band the host will hold at once.
const int64_t kMaxBandBytes = int64_t{1} << 30;

ResultCode GW_HOSTCALL AdvanceState() {
  ActiveExport& a = *gActive;
  ExportRecord& r = a.record;
  const Rect& area = r.theRect;
  if (area.top < 0 || area.left < 0 || area.bottom > a.info.height || area.right > a.info.width ||
      area.top >= area.bottom || area.left >= area.right || r.loPlane < 0 ||
      r.hiPlane >= a.info.planes || r.loPlane > r.hiPlane) {
    r.data = nullptr;
    return kResultBadParameter;
  }
  int64_t rowBytes = 0;
  int64_t bytes = 0;
  // Bitmap rows are packed, eight pixels a byte.
  int64_t pixelsPerUnit = a.info.depth == 1 ? 8 : 1;
  int64_t units = (area.right - area.left + pixelsPerUnit - 1) / pixelsPerUnit;
  if (!CheckedMultiply(units, r.hiPlane - r.loPlane + 1, INT32_MAX, &rowBytes) ||
      !CheckedMultiply(rowBytes, area.bottom - area.top, kMaxBandBytes, &bytes)) {
    r.data = nullptr;
    return kResultOutOfMemory;
  }
  BandArea band{area.top, area.bottom, area.left, area.right, r.loPlane, r.hiPlane,
                static_cast<int32_t>(rowBytes), static_cast<size_t>(bytes)};
  const uint8_t* data = ReadBand(a.bands, band, &a.readError);
  if (data == nullptr) {
    a.readFailed = true;
    r.data = nullptr;
    return kResultReadError;
  }
  r.data = const_cast<uint8_t*>(data);
  r.rowBytes = static_cast<int32_t>(rowBytes);
  return kResultOk;
}

HostBoolean GW_HOSTCALL TestAbort() { return gInterrupted != 0 ? 1 : 0; }

void GW_HOSTCALL Progress(int32_t done, int32_t total) {
  UpdateProgress(&gActive->progress, done, total);
}

bool RectIsEmpty(const Rect& r) { return r.top >= r.bottom || r.left >= r.right; }

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

std::string DescribeResult(int16_t result) {
  const char* text = "error";
  switch (result) {
    case kResultOk: text = "done"; break;
    case kResultCancelled: text = "cancelled"; break;
    case kResultOutOfMemory: text = "out of memory"; break;
    case kResultWriteError: text = "write error"; break;
    case kResultFileOpenError: text = "cannot create the output file"; break;
    case kResultBitmapMode: text = "bitmap images are not supported"; break;
    case kResultUnknownSelector: text = "the plug-in did not understand the request"; break;
    case kResultBadParameter: text = "the image's size or planes are not possible"; break;
    case kResultParameterMissing: text = "a recorded parameter is missing"; break;
    case kResultReadError: text = "the image could not be read"; break;
    case kResultInternalError: text = "the plug-in failed unexpectedly"; break;
    default: break;
  }
  return std::string(text) + " (" + std::to_string(result) + ")";
}

std::string OutputPathFromRecord(const std::string& recorded, const std::string& documentName) {
  if (!recorded.empty() && recorded.back() != '/' && recorded.back() != '\\') return recorded;
  return recorded + BaseName(documentName) + ".txt";
}

void RunExport(PluginSession* session, const ExportRequest& request, ExportOutcome* outcome) {
  *outcome = ExportOutcome{};
  if (request.imagePath.size() > 255) {
    outcome->imageError = true;
    outcome->imageMessage = request.imagePath.substr(0, 40) +
                            "...: the path is longer than 255 bytes, more than the plug-in "
                            "interface can pass as a document name";
    return;
  }

  ActiveExport a{};
  if (!OpenImage(request.imagePath.c_str(), request.imageOptions, &a.image, &a.info,
                 &outcome->imageMessage)) {
    outcome->imageError = true;
    return;
  }

  ExportRecord& r = a.record;
  r.abortProc = TestAbort;
  r.progressProc = Progress;
  r.maxData = request.maxData;
  r.imageMode = a.info.mode;
  r.imageSize.v = static_cast<int16_t>(a.info.height);
  r.imageSize.h = static_cast<int16_t>(a.info.width);
  r.depth = a.info.depth;
  r.planes = a.info.planes;
  r.imageHRes = 72 << 16;
  r.imageVRes = 72 << 16;
  for (int i = 0; i < 256; ++i) {
    bool fromPalette = a.info.mode == kModeIndexedColor && i < a.info.paletteCount;
    r.redLUT[i] = fromPalette ? a.info.palette[i][0] : static_cast<unsigned char>(i);
    r.greenLUT[i] = fromPalette ? a.info.palette[i][1] : static_cast<unsigned char>(i);
    r.blueLUT[i] = fromPalette ? a.info.palette[i][2] : static_cast<unsigned char>(i);
  }
  r.transparentIndex = a.info.transparentIndex;
  r.filename[0] = static_cast<unsigned char>(request.imagePath.size());
  std::memcpy(r.filename + 1, request.imagePath.data(), request.imagePath.size());
  r.dirty = 1;
  r.hostSig = FourCharCode('G', 'l', 'y', 'w');
  r.platformData = &a.platform;
  r.handleProcs = HostHandleProcs();
  r.advanceState = AdvanceState;
  a.descriptors.descriptorParametersVersion = 0;
  a.descriptors.playInfo = request.showDialog ? kPlayDialogRequired : kPlayDialogNone;
  a.descriptors.recordInfo = 0;
  a.descriptors.descriptor = request.step != nullptr ? MakeDescriptor(*request.step) : nullptr;
  a.descriptors.readDescriptorProcs = HostReadDescriptorProcs();
  a.descriptors.writeDescriptorProcs = HostWriteDescriptorProcs();
  r.descriptorParameters = &a.descriptors;

  a.bands = StartBandReader(a.image, a.info.height, true);
  gActive = &a;
  StartProgress(&a.progress, request.progressBar, request.imagePath);
  int16_t result = 0;
  session->entry(kSelectorPrepare, &r, &session->dataCell, &result);
  if (result == kResultOk) {
    session->entry(kSelectorStart, &r, &session->dataCell, &result);
    // A plug-in that leaves an area in theRect wants it delivered and a
    // continue call; this one empties it, but a host serves what is asked.
    for (int rounds = 0; result == kResultOk && !RectIsEmpty(r.theRect) && rounds < 65536; ++rounds) {
      result = AdvanceState();
      if (result == kResultOk) session->entry(kSelectorContinue, &r, &session->dataCell, &result);
    }
    int16_t finishResult = 0;
    session->entry(kSelectorFinish, &r, &session->dataCell, &finishResult);
    if (result == kResultOk) result = finishResult;
  }
  EndProgress(&a.progress);
  StopBandReader(a.bands);
  gActive = nullptr;

  outcome->result = result;
  if (a.readFailed) {
    outcome->imageError = true;
    outcome->imageMessage = a.readError;
  }
  if (result == kResultOk) {
    const char* text = reinterpret_cast<const char*>(r.filename);
    std::string recorded(text, strnlen(text, sizeof r.filename));
    outcome->outputPath = OutputPathFromRecord(recorded, request.imagePath);
  }
  if (a.descriptors.descriptor != nullptr) {
    outcome->recorded = ReadDescriptor(a.descriptors.descriptor, &outcome->step);
    HostDisposeHandle(a.descriptors.descriptor);
  }
  CloseImage(a.image);
}
