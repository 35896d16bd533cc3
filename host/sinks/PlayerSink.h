// An animation played in place on a terminal view (host/view/Player.h):
// every frame is exported whole, its text going to the sink of the frames
// (the coloured terminal, or the plain stream) over the frame before, and
// the player's own sequences to the same descriptor. An image of one frame
// is exported once, as the sink of the frames has it.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "host/sinks/TextSink.h"

class PlayerSink final : public TextSink {
 public:
  // `size`: the bounds the export started with, for a terminal resized
  // while playing when `play` tells none of its own.
  PlayerSink(const PlaySettings& play, const SizeBounds& size, int descriptor, std::unique_ptr<TextSink> frames)
      : play_(play), size_(size), descriptor_(descriptor), frames_(std::move(frames)) {}

  void Export(ImageExport* image, ExportOutcome* outcome) override;

  // Each frame's text is the frame sink's.
  bool Open(const RowLayout& layout, ExportOutcome* outcome) override { return frames_->Open(layout, outcome); }
  std::string Folder() const override { return frames_->Folder(); }
  bool WantsPixels() const override { return frames_->WantsPixels(); }
  bool TakeText() override { return frames_->TakeText(); }
  void AddBand(const ServedBand& band) override { frames_->AddBand(band); }
  void End(ExportOutcome* outcome) override { frames_->End(outcome); }

 private:
  const PlaySettings& play_;
  SizeBounds size_;
  int descriptor_;
  std::unique_ptr<TextSink> frames_;
};
