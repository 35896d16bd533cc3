// Standard output as a terminal view's coloured text (host/view/ColouredText.h):
// each line paired with the row it came from and its characters coloured at
// the mapper's depth. Rows without colour (a mode that has none, a mapper
// without depth) go out as a plain stream would have them.
#pragma once

#include <memory>
#include <string>

#include "host/sinks/StreamSink.h"
#include "host/view/ColouredText.h"

class TerminalSink final : public StreamSink {
 public:
  TerminalSink(std::string folder, int descriptor, ColourMapper* mapper)
      : StreamSink(std::move(folder), descriptor), mapper_(mapper) {}

  bool Open(const RowLayout& layout, ExportOutcome* outcome) override;
  bool WantsPixels() const override { return colour_ != nullptr && colour_->WantsPixels(); }
  void AddBand(const ServedBand& band) override;
  void End(ExportOutcome* outcome) override;

 private:
  bool Deliver(const char* data, size_t size) override;
  bool Complete() override;

  ColourMapper* mapper_;
  std::unique_ptr<ColouredText> colour_;  // null: nothing to colour
};
