// The reader's place in an open image's file: closing the reader, going
// back to the top of the file, and letting go of what was decoded.
#include "host/image/ImageFile.h"

#include <cstdlib>
#include <string>

#include "host/image/budget/MemoryBudget.h"
#include "host/image/stages/Resize.h"

bool FailImage(ImageFile* image, const std::string& message, std::string* error) {
  image->failed = true;
  image->failure = message;
  *error = message;
  return false;
}

void CloseReader(ImageFile* image) {
  if (image->state != nullptr) image->reader->close(image->state);
  image->state = nullptr;
  const uint64_t charged = MemoryCharged(image->source);
  if (charged > image->wholeBytes) ReleaseMemory(image->source, charged - image->wholeBytes);
}

void DropWholeImage(ImageFile* image) {
  std::free(image->whole);
  image->whole = nullptr;
  ReleaseMemory(image->source, image->wholeBytes);
  image->wholeBytes = 0;
}

bool GiveBackMemory(ImageFile* image, std::string* error) {
  CloseReader(image);
  image->nextRow = 0;
  image->sourceRow = 0;
  DropWholeImage(image);
  return image->resize == nullptr || ResetResizeStage(image->resize, error);
}

bool RestartImage(ImageFile* image, std::string* error) {
  image->nextRow = 0;
  if (image->state != nullptr && image->reader->rewind != nullptr) {
    int32_t delay = image->layout.frameDelay;
    if (!image->reader->rewind(image->state, &delay, error)) return false;
    image->layout.frameDelay = delay;
    return true;
  }
  CloseReader(image);
  if (!RewindSource(&image->source)) {
    SetImageError(error, image->source, "cannot go back to the start of the file");
    return false;
  }
  StoredLayout again;
  if (!image->reader->open(&image->source, &image->state, &again, error)) return false;
  if (again.width != image->layout.width || again.height != image->layout.height ||
      again.channels != image->layout.channels || again.space != image->layout.space) {
    SetImageError(error, image->source, "the file changed while it was being read");
    return false;
  }
  image->layout.frameDelay = again.frameDelay;
  return true;
}

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
