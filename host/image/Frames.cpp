// The frames of an animation shown one after another: each made again from
// what the reader holds, or from the start of the file.
#include <cstdlib>
#include <string>

#include "host/image/ImageFile.h"
#include "host/image/input/MemoryBudget.h"
#include "host/image/stages/Resize.h"

std::string NoSuchFrame(const StoredLayout& l, int32_t frame) {
  const std::string none = "has no frame " + std::to_string(frame) + ": ";
  if (l.declaredFrames > 1) {
    return none + "an animated PNG of " + std::to_string(l.declaredFrames) +
           " frames, of which only the default image can be read (this build's libpng reads no "
           "animation)";
  }
  if (l.frames == 1) return none + "it is a still image, one frame";
  return none + "it has " + std::to_string(l.frames) + " frames";
}

bool ShowImageFrame(ImageFile* image, int32_t frame, ImageInfo* info, std::string* error) {
  if (image->failed) {
    *error = image->failure;
    return false;
  }
  if (!image->source.animation) {
    SetImageError(error, image->source, "was not opened to show its frames one after another");
    return false;
  }
  if (frame < 1 || frame > image->info.frames) {
    SetImageError(error, image->source, NoSuchFrame(image->layout, frame));
    return false;
  }
  // Rows from the top again: nothing held of the frame before is kept.
  std::free(image->whole);
  image->whole = nullptr;
  ReleaseMemory(image->source, image->wholeBytes);
  image->wholeBytes = 0;
  image->sourceRow = 0;
  std::string message;
  const bool onward =
      frame > image->source.frame && image->state != nullptr && image->reader->nextFrame != nullptr;
  image->source.frame = frame;
  int32_t delay = image->layout.frameDelay;
  bool ok =
      onward ? image->reader->nextFrame(image->state, &delay, &message) : RestartImage(image, &message);
  if (ok && onward) {
    image->layout.frameDelay = delay;
    image->nextRow = 0;
  }
  // Memory that other images hold: everything back, wait, and the frame
  // made again from the start of the file.
  if (!ok && MemoryWanted(image->source)) {
    ok = GiveBackMemory(image, &message) && WaitForMemory(image->source, &message) &&
         RestartImage(image, &message);
  }
  if (!ok) return FailImage(image, message, error);
  image->info.frame = frame;
  image->info.frameDelay = image->layout.frameDelay;
  image->readStarted = false;
  // The resize stage starts afresh at the size it had.
  if (image->resize != nullptr) {
    FreeResizeStage(image->resize);
    image->resize = nullptr;
    if (!ResizeImage(image, image->info.width, image->info.height, &image->info, error))
      return false;
  }
  *info = image->info;
  return true;
}
