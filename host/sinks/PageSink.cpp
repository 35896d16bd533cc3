#include "host/sinks/PageSink.h"

#include "host/cli/Messages.h"
#include "host/hosting/OutputWriter.h"
#include "host/hosting/Streams.h"
#include "host/platform/HostSystem.h"

namespace {

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of(NativeSeparator() == '/' ? "/" : "/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

PageSink::PageSink(const ExportRequest& request)
    : CopySink(std::string()), request_(request.page), descriptor_(request.streamDescriptor) {
  look_.title = Printable(BaseName(request.documentName));
  look_.cellAspect = request.size.cellAspect;
  look_.dark = request.page.dark;
  look_.colour = request.page.colour;
}

bool PageSink::OpenTarget(std::string* error) {
  if (!request_.path.empty() && !OpenOutputWriter(request_.path, &writer_, error)) return false;
  if (!MakePrivateFolder(&folder_, error)) {
    AbandonOutput(writer_);
    writer_ = nullptr;
    return false;
  }
  return true;
}

bool PageSink::Open(const RowLayout& layout, ExportOutcome* outcome) {
  error_.clear();
  std::string error;
  if (!OpenTarget(&error)) {
    outcome->result = kResultFileOpenError;
    outcome->outputPath = request_.path;
    outcome->outputMessage = error;
    return false;
  }
  page_.reset(new Page(layout, look_, [this](const void* data, size_t size) { return Write(data, size); }));
  return CopySink::Open(layout, outcome);
}

bool PageSink::Write(const void* data, size_t size) {
  if (writer_ == nullptr) return WriteStream(descriptor_, data, size);
  return WriteOutput(writer_, data, size, &error_);
}

void PageSink::AddBand(const ServedBand& b) {
  if (!page_->Coloured()) return;
  page_->rows().AddBand(b.top, b.bottom, b.left, b.right, b.loPlane, b.hiPlane, b.samples, b.rowBytes, b.pixels,
                        b.pixelRowBytes);
}

void PageSink::End(ExportOutcome* outcome) {
  CopySink::End(outcome);
  RemovePrivateFolder(folder_);
  outcome->outputPath = request_.path;
  if (writer_ == nullptr) return;
  // Whole or not at all: a failed export leaves the earlier page.
  if (outcome->result == kResultOk) {
    CommitOutput(writer_, &error_);
  } else {
    AbandonOutput(writer_);
  }
  writer_ = nullptr;
  if (!error_.empty()) {
    outcome->result = kResultWriteError;
    outcome->outputMessage = error_;
  }
}
