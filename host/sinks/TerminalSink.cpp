#include "host/sinks/TerminalSink.h"

#include "host/hosting/Streams.h"
#include "host/view/Terminal.h"

bool TerminalSink::Open(const RowLayout& layout, ExportOutcome* outcome) {
  colour_.reset(new ColouredText(layout, mapper_, WriteStandardOutput));
  if (!colour_->Coloured()) colour_.reset();
  return StreamSink::Open(layout, outcome);
}

void TerminalSink::AddBand(const ServedBand& b) {
  if (colour_ == nullptr) return;
  colour_->rows().AddBand(b.top, b.bottom, b.left, b.right, b.loPlane, b.hiPlane, b.samples, b.rowBytes,
                          b.pixels, b.pixelRowBytes);
}

bool TerminalSink::Deliver(const char* data, size_t size) {
  return colour_ != nullptr ? colour_->Add(data, size) : StreamSink::Deliver(data, size);
}

bool TerminalSink::Complete() { return colour_ == nullptr || colour_->Finish(); }

void TerminalSink::End(ExportOutcome* outcome) {
  StreamSink::End(outcome);
  // A stop may cut a write inside a colour or a sequence, and Ctrl-C has
  // the terminal throw away the text it holds, line ends and their resets
  // among it: the reset ends both, so the terminal is not left coloured.
  if (colour_ != nullptr && gInterrupted != 0) WriteColourReset();
}
