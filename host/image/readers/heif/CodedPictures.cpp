#include "host/image/readers/heif/CodedPictures.h"

void PictureBounds::Add(const PictureHeader& h) {
  sameSize_ = sameSize_ && h.exact &&
              (!any_ || (h.shownWidth == largest_.shownWidth && h.shownHeight == largest_.shownHeight));
  if (!any_) {
    largest_ = h;
    any_ = true;
    return;
  }
  if (h.allocated > largest_.allocated) {
    largest_.width = h.width;
    largest_.height = h.height;
    largest_.allocated = h.allocated;
    largest_.exact = h.exact;
    largest_.shownWidth = h.shownWidth;
    largest_.shownHeight = h.shownHeight;
  }
  largest_.chroma = h.chroma > largest_.chroma ? h.chroma : largest_.chroma;
  largest_.bitDepth = h.bitDepth > largest_.bitDepth ? h.bitDepth : largest_.bitDepth;
  largest_.upscaled = largest_.upscaled || h.upscaled;
}

void PictureBounds::Fill(uint64_t count, uint64_t samplesEach, CodedPictures* pictures) const {
  *pictures = CodedPictures();
  if (!any_ || count == 0) return;
  pictures->pictures = count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count);
  pictures->samples = count * samplesEach;
  pictures->largestWidth = largest_.width;
  pictures->largestHeight = largest_.height;
  pictures->chroma = largest_.chroma;
  pictures->bitDepth = largest_.bitDepth;
  if (sameSize_) {
    pictures->width = largest_.shownWidth;
    pictures->height = largest_.shownHeight;
  }
}
