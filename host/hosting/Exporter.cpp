#include "host/hosting/Exporter.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "host/hosting/BandReader.h"
#include "host/cli/Messages.h"
#include "host/hosting/OutputWriter.h"
#include "host/cli/Progress.h"
#include "host/image/stages/Sizing.h"
#include "host/platform/HostSystem.h"
#include "host/view/ColouredText.h"
#include "host/view/Page.h"
#include "host/view/Player.h"
#include "host/view/Terminal.h"
#include "hostsupport/CheckedSize.h"
#include "scripting/RecordedParameters.h"

volatile std::sig_atomic_t gInterrupted = 0;
volatile std::sig_atomic_t gOutputClosed = 0;

namespace {

// Written once, by the first failing write; read by every export thread.
std::atomic<int> gFailedDescriptor{-1};
std::atomic<int> gFailedError{0};

// Copies the text the plug-in writes in a private folder to its stream
// while it grows, a bounded piece at a time, giving the disk space back
// behind it; coloured on the way when asked.
struct TextStream {
  std::string folder;
  int target = 1;  // the descriptor the text goes to
  int fd = -1;
  long long copied = 0;
  bool failed = false;
  std::vector<char> buffer;  // one piece of the copy, kept between bands
  ColouredText* colour = nullptr;  // null: the text as written
  Page* page = nullptr;            // null: the text itself
};

bool Deliver(TextStream* s, const char* data, size_t size) {
  if (s->page != nullptr) return s->page->Add(data, size);
  return s->colour != nullptr ? s->colour->Add(data, size) : WriteStream(s->target, data, size);
}

// The lines that must be paired with the bands they come from, if any.
TextRows* Pairing(TextStream* s) {
  if (s == nullptr) return nullptr;
  if (s->page != nullptr) return s->page->Coloured() ? &s->page->rows() : nullptr;
  return s->colour != nullptr ? &s->colour->rows() : nullptr;
}

bool Pump(TextStream* s) {
  if (s->failed) return false;
  if (s->fd < 0) s->fd = OpenOnlyFileIn(s->folder);
  if (s->fd < 0) return true;
  s->buffer.resize(1 << 16);
  for (;;) {
    long long n = ReadAt(s->fd, s->buffer.data(), s->buffer.size(), s->copied);
    if (n <= 0) break;
    // A write begun after a stop still puts out its first piece (for the
    // report lines): the copy itself takes no more after one.
    if (gInterrupted != 0 || !Deliver(s, s->buffer.data(), static_cast<size_t>(n))) {
      s->failed = true;
      return false;
    }
    s->copied += n;
  }
  ReleaseFileSpace(s->fd, s->copied);
  return true;
}

// The one export in progress on this thread: the callbacks carry no context.
struct ActiveExport {
  ExportRecord record;
  PlatformData platform;
  PIDescriptorParameters descriptors;
  ImageFile* image;
  ImageInfo info;
  BandReader* bands;
  ProgressBar* progress;
  TextStream* stream;
  bool readFailed;
  std::string readError;
  std::string outputPath;  // the file the plug-in writes, once it asks for data
};
thread_local ActiveExport* tActive = nullptr;

// The largest band the host will hold at once.
const int64_t kMaxBandBytes = int64_t{1} << 30;

ResultCode GW_HOSTCALL AdvanceState() {
  ActiveExport& a = *tActive;
  ExportRecord& r = a.record;
  if (a.outputPath.empty()) {
    // The output file exists by now, and its path is still in the field.
    const char* text = reinterpret_cast<const char*>(r.filename);
    a.outputPath.assign(text, strnlen(text, sizeof r.filename));
  }
  if (a.stream != nullptr && !Pump(a.stream)) {
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
  if (TextRows* rows = Pairing(a.stream)) {
    rows->AddBand(area.top, area.bottom, area.left, area.right, r.loPlane, r.hiPlane, data,
                  static_cast<int32_t>(rowBytes), BandColour(a.bands), (area.right - area.left) * 3);
  }
  r.data = const_cast<uint8_t*>(data);
  r.rowBytes = static_cast<int32_t>(rowBytes);
  return kResultOk;
}

HostBoolean GW_HOSTCALL TestAbort() { return ExportsStopped() ? 1 : 0; }

void GW_HOSTCALL Progress(int32_t done, int32_t total) {
  if (tActive->progress != nullptr) UpdateProgress(tActive->progress, done, total);
}

// Where a page goes (a file through the host's output writer, or standard
// output), and the private folder the plug-in writes the text into.
struct PageTarget {
  std::string folder;
  OutputWriter* writer = nullptr;  // null: standard output
  std::string error;               // why a write or the commit failed
};

bool OpenPageTarget(const PageRequest& request, PageTarget* target, std::string* error) {
  if (!request.path.empty() && !OpenOutputWriter(request.path, &target->writer, error)) return false;
  if (!MakePrivateFolder(&target->folder, error)) {
    if (target->writer != nullptr) AbandonOutput(target->writer);
    target->writer = nullptr;
    return false;
  }
  return true;
}

// The rest of the text after the last band, and the end of what it feeds.
bool FinishText(TextStream* s) {
  if (s->page != nullptr) return s->page->Finish();
  return s->colour == nullptr || s->colour->Finish();
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of(NativeSeparator() == '/' ? "/" : "/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

// One export through the plug-in of the image as it stands (a frame of an
// animation: the image is not closed).
void ExportImage(PluginSession* session, const ExportRequest& request, ImageFile* image,
                 const ImageInfo& info, ExportOutcome* outcome);

// The frames of an animation drawn for the player, each exported whole.
class ExportDrawer : public FrameDrawer {
 public:
  ExportDrawer(PluginSession* session, const ExportRequest& request, ImageFile* image,
               const ImageInfo& full, ImageInfo* info, ExportOutcome* outcome)
      : session_(session),
        request_(request),
        image_(image),
        full_(full),
        info_(info),
        outcome_(outcome) {}

  bool Show(int32_t frame, int32_t* delay) override {
    if (!ShowImageFrame(image_, frame, info_, &outcome_->imageMessage)) return Failed();
    *delay = info_->frameDelay;
    return true;
  }

  bool Refit() override {
    const SizeBounds bounds = request_.play->bounds ? request_.play->bounds() : request_.size;
    return SizeForExport(request_, bounds, image_, full_, info_, &outcome_->imageMessage) ||
           Failed();
  }

  bool Draw(int32_t* lines) override {
    ExportImage(session_, request_, image_, *info_, outcome_);
    *lines = info_->height;
    return outcome_->result == kResultOk && !outcome_->imageError;
  }

  bool Write(const std::string& text) override {
    return WriteStream(request_.streamDescriptor, text.data(), text.size());
  }

 private:
  bool Failed() {
    outcome_->imageError = true;
    return false;
  }

  PluginSession* session_;
  const ExportRequest& request_;
  ImageFile* image_;
  ImageInfo full_;
  ImageInfo* info_;
  ExportOutcome* outcome_;
};

}  // namespace

bool OutputFailed(OutputFailure* failure) {
  int error = gFailedError.load();
  if (error == 0) return false;
  if (failure != nullptr) {
    failure->descriptor = gFailedDescriptor.load();
    failure->error = error;
  }
  return true;
}

bool ExportsStopped() { return gInterrupted != 0 || gOutputClosed != 0 || OutputFailed(); }

bool WriteStream(int fd, const void* data, size_t size) {
  if (gOutputClosed != 0 || OutputFailed()) return false;
  int error = 0;
  switch (WriteToDescriptor(fd, data, size, &gInterrupted, &error)) {
    case WriteResult::kWritten: return true;
    case WriteResult::kStopped: return false;
    case WriteResult::kReaderGone: gOutputClosed = 1; return false;
    case WriteResult::kFailed: break;
  }
  // The first failure is the one told: its descriptor and its reason
  // together, whichever thread fails next.
  int unset = -1;
  if (gFailedDescriptor.compare_exchange_strong(unset, fd)) gFailedError.store(error != 0 ? error : EIO);
  return false;
}

bool WriteStandardOutput(const void* data, size_t size) { return WriteStream(1, data, size); }

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
  if (request.play != nullptr && info.frames > 1) {
    PlayRequest play;
    play.frames = info.frames;
    play.firstDelay = info.frameDelay;
    play.plays = request.play->plays >= 0 ? request.play->plays : info.loopCount;
    play.stop = &gInterrupted;
    ExportDrawer drawer(session, request, image, full, &info, outcome);
    outcome->played = true;
    PlayAnimation(play, &drawer);
  } else {
    ExportImage(session, request, image, info, outcome);
  }
  CloseImage(image);
}

namespace {

void ExportImage(PluginSession* session, const ExportRequest& request, ImageFile* image,
                 const ImageInfo& info, ExportOutcome* outcome) {
  const std::string& name = request.documentName;
  ActiveExport a{};
  a.image = image;
  a.info = info;
  PageTarget pageTarget;
  if (request.page.wanted) {
    std::string error;
    if (!OpenPageTarget(request.page, &pageTarget, &error)) {
      outcome->result = kResultFileOpenError;
      outcome->outputPath = request.page.path;
      outcome->outputMessage = error;
      return;
    }
  }
  const bool pageToFile = pageTarget.writer != nullptr;

  TextStream stream;
  stream.folder = request.page.wanted ? pageTarget.folder : request.streamFolder;
  stream.target = request.streamDescriptor;
  a.stream = stream.folder.empty() ? nullptr : &stream;
  RowLayout layout;
  layout.width = a.info.width;
  layout.planes = a.info.planes;
  layout.mode = a.info.mode;
  layout.alphaPlane = a.info.alphaPlane;
  layout.inverted = request.imageOptions.invert;
  std::unique_ptr<ColouredText> coloured;
  if (a.stream != nullptr && request.colour != nullptr) {
    coloured.reset(new ColouredText(layout, request.colour, WriteStandardOutput));
    if (coloured->Coloured()) stream.colour = coloured.get();
  }
  std::unique_ptr<Page> page;
  if (request.page.wanted) {
    PageLook look;
    look.title = Printable(BaseName(name));
    look.cellAspect = request.size.cellAspect;
    look.dark = request.page.dark;
    look.colour = request.page.colour;
    const int descriptor = request.streamDescriptor;
    page.reset(new Page(layout, look, [&pageTarget, descriptor](const void* data, size_t size) {
      if (pageTarget.writer == nullptr) return WriteStream(descriptor, data, size);
      return WriteOutput(pageTarget.writer, data, size, &pageTarget.error);
    }));
    stream.page = page.get();
  }
  RecordedStep streamStep;
  if (a.stream != nullptr) {
    streamStep.parameters.push_back(StepParameter{kKeyOutputPath, stream.folder + NativeSeparator()});
  }
  const RecordedStep* step = a.stream != nullptr ? &streamStep : request.step;

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
  r.filename[0] = static_cast<unsigned char>(name.size());
  std::memcpy(r.filename + 1, name.data(), name.size());
  r.dirty = 1;
  r.hostSig = FourCharCode('G', 'l', 'y', 'w');
  r.platformData = &a.platform;
  r.handleProcs = HostHandleProcs();
  r.advanceState = AdvanceState;
  a.descriptors.descriptorParametersVersion = 0;
  a.descriptors.playInfo = request.showDialog ? kPlayDialogRequired : kPlayDialogNone;
  a.descriptors.recordInfo = 0;
  a.descriptors.descriptor = step != nullptr ? MakeDescriptor(*step) : nullptr;
  a.descriptors.readDescriptorProcs = HostReadDescriptorProcs();
  a.descriptors.writeDescriptorProcs = HostWriteDescriptorProcs();
  r.descriptorParameters = &a.descriptors;

  a.bands = StartBandReader(a.image, a.info.height, request.readAhead,
                            (stream.colour != nullptr && stream.colour->WantsPixels()) ||
                                (stream.page != nullptr && stream.page->WantsPixels()));
  a.progress = request.progress;
  tActive = &a;
  if (a.progress != nullptr) StartProgress(a.progress, true, Printable(request.imagePath));
  int16_t result = 0;
  session->entry(kSelectorPrepare, &r, &session->dataCell, &result);
  if (result == kResultOk) {
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
    if (result == kResultOk) result = finishResult;
  }
  if (a.progress != nullptr) EndProgress(a.progress);
  StopBandReader(a.bands);
  tActive = nullptr;

  outcome->result = result;
  if (a.readFailed) {
    outcome->imageError = true;
    outcome->imageMessage = a.readError;
  }
  if (a.outputPath.empty()) {
    // No data was asked for: the path chosen, if any, is still in the field.
    const char* text = reinterpret_cast<const char*>(r.filename);
    a.outputPath.assign(text, strnlen(text, sizeof r.filename));
  }
  outcome->outputPath = a.outputPath;
  if (a.stream != nullptr) {
    // The finished file is the temporary one renamed: the rest of it, then
    // nothing left behind.
    if (result == kResultOk) {
      if (stream.fd < 0) stream.fd = OpenOnlyFileIn(stream.folder);
      if (!Pump(&stream) && result == kResultOk) result = kResultCancelled;
      if (!stream.failed && !FinishText(&stream)) {
        stream.failed = true;
        result = kResultCancelled;
      }
      outcome->result = result;
    }
    // A stop may cut a write inside a colour or a sequence, and Ctrl-C has
    // the terminal throw away the text it holds, line ends and their resets
    // among it: the reset ends both, so the terminal is not left coloured.
    if (stream.colour != nullptr && gInterrupted != 0) WriteColourReset();
    CloseFile(stream.fd);
    RemoveFilesIn(stream.folder);
  }
  if (request.page.wanted) {
    RemovePrivateFolder(pageTarget.folder);
    outcome->outputPath = request.page.path;
    if (pageToFile) {
      // Whole or not at all: a failed export leaves the earlier page.
      if (outcome->result == kResultOk) {
        CommitOutput(pageTarget.writer, &pageTarget.error);
      } else {
        AbandonOutput(pageTarget.writer);
      }
      if (!pageTarget.error.empty()) {
        outcome->result = kResultWriteError;
        outcome->outputMessage = pageTarget.error;
      }
    }
  }
  if (a.descriptors.descriptor != nullptr) {
    outcome->recorded = ReadDescriptor(a.descriptors.descriptor, &outcome->step);
    HostDisposeHandle(a.descriptors.descriptor);
  }
}

}  // namespace
