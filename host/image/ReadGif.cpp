// GIF through giflib: the first image of the file on its logical screen, as
// palette indices. Rows of a non-interlaced image are decoded as they are
// asked for; an interlaced image is gathered whole (one byte a pixel), only
// the part of it on the screen: a frame may be larger than its screen.
// Pixels of the screen outside the image take the transparent index when
// the image has one, else the screen's background index. A file without any
// colour table gets a grey ramp (index i = grey i).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gif_lib.h>

#include "host/image/ImageInternal.h"

namespace {

struct GifState {
  GifFileType* gif = nullptr;
  ImageSource* source = nullptr;
  int32_t width = 0;   // the logical screen
  int32_t height = 0;
  int32_t left = 0;    // the image on it
  int32_t top = 0;
  int32_t frameWidth = 0;
  int32_t frameHeight = 0;
  int32_t visibleWidth = 0;   // the image's columns and rows on the screen
  int32_t visibleHeight = 0;
  bool interlaced = false;
  uint8_t background = 0;
  uint8_t* line = nullptr;   // one row of the image
  uint8_t* whole = nullptr;  // interlaced: the visible rows, once decoded
  int32_t next = 0;          // the next screen row
};

int ReadFunc(GifFileType* gif, GifByteType* buffer, int length) {
  GifState* s = static_cast<GifState*>(gif->UserData);
  if (length <= 0) return 0;
  return static_cast<int>(std::fread(buffer, 1, static_cast<size_t>(length), s->source->file));
}

bool Failure(const ImageSource& source, int code, std::string* error) {
  if (code == D_GIF_ERR_READ_FAILED || code == D_GIF_ERR_EOF_TOO_SOON) {
    SetImageError(error, source, TruncatedMessage("GIF"));
  } else {
    const char* text = GifErrorString(code);
    SetImageError(error, source, std::string("corrupt GIF data: ") + (text != nullptr ? text : "unknown error"));
  }
  return false;
}

// Finds the first image, taking the transparent index from a graphic
// control extension before it.
bool FindImage(GifState* s, int* transparent, std::string* error) {
  GifFileType* gif = s->gif;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) return Failure(*s->source, gif->Error, error);
    if (type == IMAGE_DESC_RECORD_TYPE) {
      if (DGifGetImageDesc(gif) == GIF_ERROR) return Failure(*s->source, gif->Error, error);
      return true;
    }
    if (type == TERMINATE_RECORD_TYPE) {
      SetImageError(error, *s->source, "a GIF file without an image");
      return false;
    }
    if (type != EXTENSION_RECORD_TYPE) return Failure(*s->source, D_GIF_ERR_WRONG_RECORD, error);
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return Failure(*s->source, gif->Error, error);
    if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4 && (block[1] & 1) != 0) {
      *transparent = block[4];
    }
    while (block != nullptr) {
      if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return Failure(*s->source, gif->Error, error);
    }
  }
}

void GifClose(void* state) {
  GifState* s = static_cast<GifState*>(state);
  if (s->gif != nullptr) {
    int ignored = 0;
    DGifCloseFile(s->gif, &ignored);
  }
  std::free(s->line);
  std::free(s->whole);
  delete s;
}

bool Describe(GifState* s, StoredLayout* layout, std::string* error) {
  GifFileType* gif = s->gif;
  s->width = gif->SWidth;
  s->height = gif->SHeight;
  layout->width = s->width;
  layout->height = s->height;
  if (!CheckImageSize(*s->source, s->width, s->height, error)) return false;
  int transparent = -1;
  if (!FindImage(s, &transparent, error)) return false;
  const GifImageDesc& d = gif->Image;
  s->left = d.Left;
  s->top = d.Top;
  s->frameWidth = d.Width;
  s->frameHeight = d.Height;
  s->interlaced = d.Interlace;
  s->visibleWidth = s->left < s->width ? std::min(s->frameWidth, s->width - s->left) : 0;
  s->visibleHeight = s->top < s->height ? std::min(s->frameHeight, s->height - s->top) : 0;
  const ColorMapObject* map = d.ColorMap != nullptr ? d.ColorMap : gif->SColorMap;
  if (map != nullptr && map->Colors != nullptr && map->ColorCount > 0) {
    const int count = map->ColorCount < 256 ? map->ColorCount : 256;
    for (int i = 0; i < count; ++i) {
      layout->palette[i][0] = map->Colors[i].Red;
      layout->palette[i][1] = map->Colors[i].Green;
      layout->palette[i][2] = map->Colors[i].Blue;
    }
    layout->paletteCount = count;
  } else {
    for (int i = 0; i < 256; ++i) {
      layout->palette[i][0] = layout->palette[i][1] = layout->palette[i][2] = static_cast<uint8_t>(i);
    }
    layout->paletteCount = 256;
  }
  for (int i = 0; i < 256; ++i) layout->palette[i][3] = 255;
  if (transparent >= 0) layout->palette[transparent][3] = 0;
  s->background = static_cast<uint8_t>(transparent >= 0 ? transparent : gif->SBackGroundColor & 255);
  layout->space = StoredSpace::Indexed;
  layout->channels = 1;
  layout->format = "GIF";
  if (s->interlaced) layout->wholeReason = "interlaced GIF";
  if (s->frameWidth > 0) {
    s->line = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(s->frameWidth)));
    if (s->line == nullptr) {
      SetImageError(error, *s->source, "out of memory");
      return false;
    }
  }
  return true;
}

bool GifOpen(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  *state = nullptr;
  *layout = StoredLayout();
  layout->format = "GIF";
  GifState* s = new GifState;
  s->source = source;
  int code = 0;
  s->gif = DGifOpen(s, ReadFunc, &code);
  if (s->gif == nullptr) {
    Failure(*source, code, error);
    GifClose(s);
    return false;
  }
  if (!Describe(s, layout, error)) {
    GifClose(s);
    return false;
  }
  *state = s;
  return true;
}

// The visible part of the interlaced image, its rows in their passes, into
// s->whole; decoding stops once every visible row has come.
bool LoadInterlaced(GifState* s, std::string* error) {
  const uint64_t frameBytes = static_cast<uint64_t>(s->frameWidth) * static_cast<uint64_t>(s->frameHeight);
  // A code stands for at most one more pixel than the table has entries, and
  // a table of 4096 entries has 12-bit codes: at most 4096 pixels in 1.5
  // bytes, 2731 a byte.
  if (!CheckDeclaredSize(*s->source, frameBytes, 2731, "GIF", error)) return false;
  const size_t width = static_cast<size_t>(s->visibleWidth);
  const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(s->visibleHeight);
  s->whole = AllocateImageMemory(*s->source, bytes, "interlaced GIF", error);
  if (s->whole == nullptr) return false;
  static const int32_t start[4] = {0, 4, 2, 1};
  static const int32_t step[4] = {8, 8, 4, 2};
  int32_t missing = s->visibleHeight;
  for (int pass = 0; pass < 4 && missing > 0; ++pass) {
    for (int32_t r = start[pass]; r < s->frameHeight && missing > 0; r += step[pass]) {
      if (Interrupted(*s->source, error)) return false;
      if (DGifGetLine(s->gif, s->line, s->frameWidth) == GIF_ERROR) {
        return Failure(*s->source, s->gif->Error, error);
      }
      if (r < s->visibleHeight) {
        std::memcpy(s->whole + static_cast<size_t>(r) * width, s->line, width);
        --missing;
      }
    }
  }
  return true;
}

bool GifReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  GifState* s = static_cast<GifState*>(state);
  for (int32_t r = 0; r < count; ++r, ++s->next) {
    uint8_t* out = rows[r];
    std::memset(out, s->background, static_cast<size_t>(s->width));
    const int32_t frameRow = s->next - s->top;
    if (s->visibleWidth <= 0 || frameRow < 0 || frameRow >= s->visibleHeight) continue;
    const uint8_t* line = s->line;
    if (s->interlaced) {
      if (s->whole == nullptr && !LoadInterlaced(s, error)) return false;
      line = s->whole + static_cast<size_t>(frameRow) * static_cast<size_t>(s->visibleWidth);
    } else if (DGifGetLine(s->gif, s->line, s->frameWidth) == GIF_ERROR) {
      return Failure(*s->source, s->gif->Error, error);
    }
    std::memcpy(out + s->left, line, static_cast<size_t>(s->visibleWidth));
  }
  return true;
}

const ImageReader reader = {"GIF", GifOpen, GifReadRows, GifClose};

}  // namespace

const ImageReader* const kGifReader = &reader;
