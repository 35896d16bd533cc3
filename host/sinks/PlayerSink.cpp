#include "host/sinks/PlayerSink.h"

#include <functional>

#include "host/hosting/Streams.h"
#include "host/view/Player.h"

namespace {

// The frames of the image drawn for the player, each exported whole.
class ExportedFrames : public FrameDrawer {
 public:
  ExportedFrames(ImageExport* image, TextSink* sink, SizeBounds bounds, const PlaySettings& play, int descriptor)
      : image_(image), sink_(sink), bounds_(bounds), play_(play), descriptor_(descriptor) {}

  bool Show(int32_t frame, int32_t* delay) override {
    if (!image_->ShowFrame(frame)) return false;
    *delay = image_->info().frameDelay;
    return true;
  }

  bool Refit() override { return image_->Refit(play_.bounds ? play_.bounds() : bounds_); }

  bool Draw(int32_t* lines) override {
    const bool drawn = image_->ExportOnce(sink_);
    *lines = image_->info().height;
    return drawn;
  }

  bool Write(const std::string& text) override { return WriteStream(descriptor_, text.data(), text.size()); }

 private:
  ImageExport* image_;
  TextSink* sink_;
  SizeBounds bounds_;
  const PlaySettings& play_;
  int descriptor_;
};

}  // namespace

void PlayerSink::Export(ImageExport* image, ExportOutcome* outcome) {
  const ImageInfo& info = image->info();
  if (info.frames <= 1) {
    image->ExportOnce(this);
    return;
  }
  PlayRequest play;
  play.frames = info.frames;
  play.firstDelay = info.frameDelay;
  play.plays = play_.plays >= 0 ? play_.plays : info.loopCount;
  play.stop = &gInterrupted;
  ExportedFrames frames(image, this, size_, play_, descriptor_);
  outcome->played = true;
  PlayAnimation(play, &frames);
}
