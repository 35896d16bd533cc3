#include "host/sinks/ChooseSink.h"

#include <utility>

#include "host/sinks/FileSink.h"
#include "host/sinks/PageSink.h"
#include "host/sinks/PlayerSink.h"
#include "host/sinks/StreamSink.h"
#include "host/sinks/TerminalSink.h"

namespace {

// Where one export's text goes.
std::unique_ptr<TextSink> TextSinkFor(const ExportRequest& r) {
  if (r.page.wanted) return std::make_unique<PageSink>(r);
  if (r.streamFolder.empty()) return std::make_unique<FileSink>();
  if (r.colour != nullptr) return std::make_unique<TerminalSink>(r.streamFolder, r.streamDescriptor, r.colour);
  return std::make_unique<StreamSink>(r.streamFolder, r.streamDescriptor);
}

}  // namespace

std::unique_ptr<TextSink> ChooseSink(const ExportRequest& request) {
  std::unique_ptr<TextSink> text = TextSinkFor(request);
  if (request.play == nullptr) return text;
  return std::make_unique<PlayerSink>(*request.play, request.size, request.streamDescriptor, std::move(text));
}
