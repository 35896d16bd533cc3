// The frames of an animation shown one after another: each made on from
// what the reader holds, or again from the first frame.
#include <string>

#include "host/image/ImageFile.h"
#include "host/image/ImageInput.h"
#include "host/image/budget/MemoryBudget.h"
#include "host/image/stages/Resize.h"

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
  DropWholeImage(image);
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
  // The resize stage starts afresh at the size it had.
  if (ok && image->resize != nullptr) ok = ResetResizeStage(image->resize, &message);
  if (!ok) return FailImage(image, message, error);
  image->info.frame = frame;
  image->info.frameDelay = image->layout.frameDelay;
  image->readStarted = false;
  *info = image->info;
  return true;
}
