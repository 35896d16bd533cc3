#include "host/hosting/Exporter.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "host/cli/Messages.h"
#include "host/cli/Progress.h"
#include "host/hosting/BandReader.h"
#include "host/hosting/Streams.h"
#include "host/image/stages/Sizing.h"
#include "host/platform/HostSystem.h"
#include "host/sinks/ChooseSink.h"
#include "hostsupport/CheckedSize.h"
#include "scripting/RecordedParameters.h"

namespace {

// The one export in progress on this thread: the callbacks carry no context.
struct ActiveExport {
  ExportRecord record;
  PlatformData platform;
  PIDescriptorParameters descriptors;
  ImageInfo info;
  BandReader* bands;
  ProgressBar* progress;
  TextSink* sink;
  bool readFailed;
  std::string readError;
  std::string outputPath;  // the file the plug-in writes, once it asks for data
};
thread_local ActiveExport* tActive = nullptr;

// The largest band the host will hold at once.
const int64_t kMaxBandBytes = int64_t{1} << 30;

// The path the plug-in left in the record's file name field.
std::string PathInRecord(const ExportRecord& r) {
  const char* text = reinterpret_cast<const char*>(r.filename);
  return std::string(text, strnlen(text, sizeof r.filename));
}

ResultCode GW_HOSTCALL AdvanceState() {
  ActiveExport& a = *tActive;
  ExportRecord& r = a.record;
  // The output file exists by now, and its path is still in the field.
  if (a.outputPath.empty()) a.outputPath = PathInRecord(r);
  if (!a.sink->TakeText()) {
    r.data = nullptr;
    return kResultCancelled;
  }
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
    // A decode given up for a stop signal is a cancel, not a bad file.
    if (gInterrupted != 0) return kResultCancelled;
    a.readFailed = true;
    r.data = nullptr;
    return kResultReadError;
  }
  a.sink->AddBand(ServedBand{area.top, area.bottom, area.left, area.right, r.loPlane, r.hiPlane, data,
                             static_cast<int32_t>(rowBytes), BandColour(a.bands), (area.right - area.left) * 3});
  r.data = const_cast<uint8_t*>(data);
  r.rowBytes = static_cast<int32_t>(rowBytes);
  return kResultOk;
}

HostBoolean GW_HOSTCALL TestAbort() { return ExportsStopped() ? 1 : 0; }

void GW_HOSTCALL Progress(int32_t done, int32_t total) {
  if (tActive->progress != nullptr) UpdateProgress(tActive->progress, done, total);
}

bool RectIsEmpty(const Rect& r) { return r.top >= r.bottom || r.left >= r.right; }

// Sizes the image as opened (`full`) to `bounds`, resizing it where that
// changes anything; `info` gets what it then delivers.
bool SizeForExport(const ExportRequest& request, const SizeBounds& bounds, ImageFile* image,
                   const ImageInfo& full, ImageInfo* info, std::string* message) {
  if (bounds.columns <= 0 && bounds.lines <= 0) return true;
  SizeRequest fit;
  fit.maxColumns = bounds.columns;
  fit.maxLines = bounds.lines;
  fit.cellAspect = bounds.cellAspect;
  fit.enlarge = bounds.enlarge;
  const std::string narrow = WidthRefusal(full, fit);
  if (!narrow.empty()) {
    *message = request.documentName + ": " + narrow;
    return false;
  }
  int32_t width = 0, height = 0;
  FitImageSize(full.width, full.height, full.planes, fit, &width, &height);
  return (width == info->width && height == info->height) ||
         ResizeImage(image, width, height, info, message);
}

bool OpenForExport(const ExportRequest& request, ImageFile** image, ImageInfo* full,
                   ImageInfo* info, ExportOutcome* outcome) {
  ImageOptions options = request.imageOptions;
  options.cancel = &gInterrupted;
  if (!OpenImage(request.imagePath.c_str(), options, image, full, &outcome->imageMessage))
    return false;
  *info = *full;
  return SizeForExport(request, request.size, *image, *full, info, &outcome->imageMessage);
}

// The rows as the plug-in is given them, for a sink that pairs them with
// the text.
RowLayout LayoutFor(const ExportRequest& request, const ImageInfo& info) {
  RowLayout layout;
  layout.width = info.width;
  layout.planes = info.planes;
  layout.mode = info.mode;
  layout.alphaPlane = info.alphaPlane;
  layout.inverted = request.imageOptions.invert;
  return layout;
}

// The step the plug-in plays: a sink that takes the text from a folder of
// its own has it written there, whatever step was asked for.
const RecordedStep* StepFor(const ExportRequest& request, const std::string& folder, RecordedStep* folderStep) {
  if (folder.empty()) return request.step;
  folderStep->parameters.push_back(StepParameter{kKeyOutputPath, folder + NativeSeparator()});
  return folderStep;
}

// The record as the plug-in is given it, for the image as it stands.
void FillRecord(const ExportRequest& request, const RecordedStep* step, ActiveExport* a) {
  const std::string& name = request.documentName;
  ExportRecord& r = a->record;
  r.abortProc = TestAbort;
  r.progressProc = Progress;
  r.maxData = request.maxData;
  r.imageMode = a->info.mode;
  r.imageSize.v = static_cast<int16_t>(a->info.height);
  r.imageSize.h = static_cast<int16_t>(a->info.width);
  r.depth = a->info.depth;
  r.planes = a->info.planes;
  r.imageHRes = 72 << 16;
  r.imageVRes = 72 << 16;
  for (int i = 0; i < 256; ++i) {
    bool fromPalette = a->info.mode == kModeIndexedColor && i < a->info.paletteCount;
    r.redLUT[i] = fromPalette ? a->info.palette[i][0] : static_cast<unsigned char>(i);
    r.greenLUT[i] = fromPalette ? a->info.palette[i][1] : static_cast<unsigned char>(i);
    r.blueLUT[i] = fromPalette ? a->info.palette[i][2] : static_cast<unsigned char>(i);
  }
  r.transparentIndex = a->info.transparentIndex;
  r.filename[0] = static_cast<unsigned char>(name.size());
  std::memcpy(r.filename + 1, name.data(), name.size());
  r.dirty = 1;
  r.hostSig = FourCharCode('G', 'l', 'y', 'w');
  r.platformData = &a->platform;
  r.handleProcs = HostHandleProcs();
  r.advanceState = AdvanceState;
  a->descriptors.descriptorParametersVersion = 0;
  a->descriptors.playInfo = request.showDialog ? kPlayDialogRequired : kPlayDialogNone;
  a->descriptors.recordInfo = 0;
  a->descriptors.descriptor = step != nullptr ? MakeDescriptor(*step) : nullptr;
  a->descriptors.readDescriptorProcs = HostReadDescriptorProcs();
  a->descriptors.writeDescriptorProcs = HostWriteDescriptorProcs();
  r.descriptorParameters = &a->descriptors;
}

// Prepare, start, the continue calls a plug-in may ask for, and finish:
// the plug-in's result.
int16_t CallPlugin(PluginSession* session, ActiveExport* a, ExportOutcome* outcome) {
  ExportRecord& r = a->record;
  int16_t result = 0;
  session->entry(kSelectorPrepare, &r, &session->dataCell, &result);
  if (result != kResultOk) return result;
  errno = 0;
  session->entry(kSelectorStart, &r, &session->dataCell, &result);
  // The plug-in leaves the system's reason for a failed file operation.
  outcome->systemError = result != kResultOk ? errno : 0;
  // A plug-in that leaves an area in theRect wants it delivered and a
  // continue call; this one empties it, but a host serves what is asked.
  for (int rounds = 0; result == kResultOk && !RectIsEmpty(r.theRect) && rounds < 65536; ++rounds) {
    result = AdvanceState();
    if (result == kResultOk) session->entry(kSelectorContinue, &r, &session->dataCell, &result);
  }
  int16_t finishResult = 0;
  session->entry(kSelectorFinish, &r, &session->dataCell, &finishResult);
  return result == kResultOk ? finishResult : result;
}

// One export through the plug-in of the image as it stands (a frame of an
// animation: the image is not closed), its text to `sink`.
void ExportImage(PluginSession* session, const ExportRequest& request, ImageFile* image,
                 const ImageInfo& info, TextSink* sink, ExportOutcome* outcome) {
  if (!sink->Open(LayoutFor(request, info), outcome)) return;
  ActiveExport a{};
  a.info = info;
  a.sink = sink;
  RecordedStep folderStep;
  FillRecord(request, StepFor(request, sink->Folder(), &folderStep), &a);
  a.bands = StartBandReader(image, info.height, request.readAhead, sink->WantsPixels());
  a.progress = request.progress;
  tActive = &a;
  if (a.progress != nullptr) StartProgress(a.progress, true, Printable(request.imagePath));
  const int16_t result = CallPlugin(session, &a, outcome);
  if (a.progress != nullptr) EndProgress(a.progress);
  StopBandReader(a.bands);
  tActive = nullptr;

  outcome->result = result;
  if (a.readFailed) {
    outcome->imageError = true;
    outcome->imageMessage = a.readError;
  }
  // No data was asked for: the path chosen, if any, is still in the field.
  outcome->outputPath = a.outputPath.empty() ? PathInRecord(a.record) : a.outputPath;
  sink->End(outcome);
  if (a.descriptors.descriptor != nullptr) {
    outcome->recorded = ReadDescriptor(a.descriptors.descriptor, &outcome->step);
    HostDisposeHandle(a.descriptors.descriptor);
  }
}

// The image of one export, opened and sized, as its sink has it exported.
class OpenedImage : public ImageExport {
 public:
  OpenedImage(PluginSession* session, const ExportRequest& request, ImageFile* image, const ImageInfo& full,
              const ImageInfo& info, ExportOutcome* outcome)
      : session_(session), request_(request), image_(image), full_(full), info_(info), outcome_(outcome) {}

  const ImageInfo& info() const override { return info_; }

  bool ExportOnce(TextSink* sink) override {
    ExportImage(session_, request_, image_, info_, sink, outcome_);
    return outcome_->result == kResultOk && !outcome_->imageError;
  }

  bool ShowFrame(int32_t frame) override {
    return ShowImageFrame(image_, frame, &info_, &outcome_->imageMessage) || Failed();
  }

  bool Refit(const SizeBounds& bounds) override {
    return SizeForExport(request_, bounds, image_, full_, &info_, &outcome_->imageMessage) || Failed();
  }

 private:
  bool Failed() {
    outcome_->imageError = true;
    return false;
  }

  PluginSession* session_;
  const ExportRequest& request_;
  ImageFile* image_;
  const ImageInfo full_;
  ImageInfo info_;
  ExportOutcome* outcome_;
};

}  // namespace

void RunExport(PluginSession* session, const ExportRequest& request, ExportOutcome* outcome) {
  *outcome = ExportOutcome{};
  const std::string& name = request.documentName;
  if (name.size() > 255) {
    outcome->imageError = true;
    outcome->imageMessage = name.substr(0, 40) +
                            "...: the path is longer than 255 bytes, more than the plug-in "
                            "interface can pass as a document name";
    return;
  }

  ImageFile* image = nullptr;
  ImageInfo full;
  ImageInfo info;
  if (!OpenForExport(request, &image, &full, &info, outcome)) {
    CloseImage(image);
    outcome->imageError = true;
    return;
  }
  outcome->frames = info.frames;
  outcome->declaredFrames = info.declaredFrames;
  std::unique_ptr<TextSink> sink = ChooseSink(request);
  OpenedImage opened(session, request, image, full, info, outcome);
  sink->Export(&opened, outcome);
  CloseImage(image);
}
