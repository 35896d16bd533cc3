// GIF through giflib: the first image of the file on its logical screen, as
// palette indices. Rows of a non-interlaced image are decoded as they are
// asked for; an interlaced image is gathered whole (one byte a pixel), only
// the part of it on the screen: a frame may be larger than its screen.
// Pixels of the screen outside the image take the transparent index when
// the image has one, else the screen's background index. A file without any
// colour table gets a grey ramp (index i = grey i).
//
// Animations. At open a pass over the file counts its images (skipping
// their compressed data, decoding none) and reads the loop count and the
// delay of the frame asked for. Any frame but the first, and every frame of
// an animation shown one after another, is composited as browsers show it:
// on a canvas that starts transparent, each image drawn in its own colour
// table (local or global) at its place, its transparent index leaving what
// is below, and after it is shown its disposal: none, cleared to
// transparent ("restore to background", which browsers clear rather than
// paint with the background colour), or put back as it was before it
// ("restore to previous", from a second buffer holding what lay under it).
// The canvas holds grey and alpha when every colour that can show is grey,
// else RGB and alpha; frames are decoded in order, a line at a time straight
// onto the canvas, and giflib keeps no image of its own.
//
// Going back to the top keeps what was learnt at open: giflib reads the
// file again from its start, to the first image, or, for composited frames
// before the one on the canvas, from the first frame on a cleared canvas.
// An interlaced image gathered whole is served again.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gif_lib.h>

#include "host/image/budget/MemoryBudget.h"
#include "host/image/readers/ImageReader.h"

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
  // Composited frames (ImageSource::animation).
  bool composite = false;
  int32_t channels = 4;  // on the canvas: 2 (grey, alpha) or 4 (RGBA)
  uint8_t* canvas = nullptr;
  uint8_t* under = nullptr;  // what a frame to be restored after it covers
  int32_t shown = 0;         // frames composited so far
  int disposal = 0;          // of the frame last composited, and its place
  int32_t placedLeft = 0, placedTop = 0, placedWidth = 0, placedHeight = 0;
};

// What a graphic control extension says of the image after it.
struct FrameControl {
  int disposal = 0;
  int transparent = -1;
  int32_t delay = 0;  // milliseconds
};

void ReadControl(const GifByteType* block, FrameControl* control) {
  if (block == nullptr || block[0] < 4) return;
  control->disposal = (block[1] >> 2) & 7;
  control->transparent = (block[1] & 1) != 0 ? block[4] : -1;
  control->delay = (block[2] | block[3] << 8) * 10;
}

// The loop count of a NETSCAPE2.0 (or ANIMEXTS1.0) application extension,
// as the number of times the animation plays: the stored count is the
// repetitions after the first, 0 meaning forever.
bool ReadLoops(const GifByteType* name, const GifByteType* data, int32_t* loops) {
  if (name == nullptr || name[0] != 11 ||
      (std::memcmp(name + 1, "NETSCAPE2.0", 11) != 0 &&
       std::memcmp(name + 1, "ANIMEXTS1.0", 11) != 0) ||
      data == nullptr || data[0] < 3 || data[1] != 1) {
    return false;
  }
  const int32_t repeats = data[2] | data[3] << 8;
  *loops = repeats == 0 ? 0 : repeats + 1;
  return true;
}

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

// giflib keeps a copy of every image's description, which would grow with
// the frames: it goes once the image is found.
void ReleaseSavedImages(GifFileType* gif) {
  GifFreeSavedImages(gif);
  gif->ImageCount = 0;
}

// Finds the next image, taking what a graphic control extension before it
// says of it.
bool FindImage(GifState* s, FrameControl* control, std::string* error) {
  GifFileType* gif = s->gif;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) return Failure(*s->source, gif->Error, error);
    if (type == IMAGE_DESC_RECORD_TYPE) {
      if (DGifGetImageDesc(gif) == GIF_ERROR) return Failure(*s->source, gif->Error, error);
      ReleaseSavedImages(gif);
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
    if (code == GRAPHICS_EXT_FUNC_CODE) ReadControl(block, control);
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
  std::free(s->canvas);
  std::free(s->under);
  delete s;
}

bool Describe(GifState* s, StoredLayout* layout, std::string* error) {
  GifFileType* gif = s->gif;
  s->width = gif->SWidth;
  s->height = gif->SHeight;
  layout->width = s->width;
  layout->height = s->height;
  if (!CheckImageSize(*s->source, s->width, s->height, error)) return false;
  FrameControl control;
  if (!FindImage(s, &control, error)) return false;
  const int transparent = control.transparent;
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

// What a pass over the whole file tells before any image is decoded.
struct GifScan {
  int32_t frames = 0;
  int32_t loops = 1;
  int32_t delay = 0;  // of the frame asked for
  bool gray = true;   // every colour that can show, in every table, is grey
};

bool TableIsGray(const ColorMapObject* map, int transparent) {
  if (map == nullptr || map->Colors == nullptr) return true;  // the grey ramp
  for (int i = 0; i < map->ColorCount && i < 256; ++i) {
    const GifColorType& c = map->Colors[i];
    if (i != transparent && (c.Red != c.Green || c.Green != c.Blue)) return false;
  }
  return true;
}

// Passes over the compressed data of the image just described.
bool SkipImageData(GifFileType* gif) {
  GifByteType* block = nullptr;
  do {
    if (DGifGetCodeNext(gif, &block) == GIF_ERROR) return false;
  } while (block != nullptr);
  return true;
}

// Counts the images and reads the loop count and the delay of frame
// `source->frame`, leaving the file at its start. Damage ends the count
// where it is met: the images before it are still there to show, and the
// decode reports the damage in its own words. False once the cancel flag
// is set.
bool ScanFrames(ImageSource* source, GifScan* scan, std::string* error) {
  GifState probe;
  probe.source = source;
  int code = 0;
  probe.gif = DGifOpen(&probe, ReadFunc, &code);
  GifFileType* gif = probe.gif;
  FrameControl control;
  bool loopsFound = false;
  for (bool more = gif != nullptr; more;) {
    if (Interrupted(*source, error)) break;
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    more = DGifGetRecordType(gif, &type) != GIF_ERROR;
    if (!more) break;
    if (type == IMAGE_DESC_RECORD_TYPE) {
      more = DGifGetImageDesc(gif) != GIF_ERROR;
      if (!more) break;
      ReleaseSavedImages(gif);
      if (scan->frames < INT32_MAX) ++scan->frames;
      if (scan->frames == source->frame) scan->delay = control.delay;
      const ColorMapObject* map =
          gif->Image.ColorMap != nullptr ? gif->Image.ColorMap : gif->SColorMap;
      scan->gray = scan->gray && TableIsGray(map, control.transparent);
      control = FrameControl();
      more = SkipImageData(gif);
    } else if (type == EXTENSION_RECORD_TYPE) {
      int kind = 0;
      GifByteType* block = nullptr;
      more = DGifGetExtension(gif, &kind, &block) != GIF_ERROR;
      // giflib hands every block in one buffer: the name goes before the data.
      GifByteType name[12] = {};
      if (more && block != nullptr) std::memcpy(name, block, block[0] < 11 ? block[0] + 1u : 12u);
      if (more && kind == GRAPHICS_EXT_FUNC_CODE) ReadControl(block, &control);
      for (bool first = true; more && block != nullptr; first = false) {
        more = DGifGetExtensionNext(gif, &block) != GIF_ERROR;
        if (more && first && kind == APPLICATION_EXT_FUNC_CODE && !loopsFound) {
          loopsFound = ReadLoops(name, block, &scan->loops);
        }
      }
    } else {
      more = false;  // the trailer, or something no GIF holds
    }
  }
  if (gif != nullptr) DGifCloseFile(gif, &code);
  return !CancelRequested(*source) && fseeko(source->file, 0, SEEK_SET) == 0;
}

// The canvas of composited frames: the logical screen, grey and alpha or
// RGBA.
bool DescribeCanvas(GifState* s, const GifScan& scan, StoredLayout* layout, std::string* error) {
  s->width = s->gif->SWidth;
  s->height = s->gif->SHeight;
  layout->width = s->width;
  layout->height = s->height;
  if (!CheckImageSize(*s->source, s->width, s->height, error)) return false;
  s->composite = true;
  s->channels = scan.gray ? 2 : 4;
  layout->space = scan.gray ? StoredSpace::Gray : StoredSpace::RGB;
  layout->channels = s->channels;
  layout->alphaChannel = s->channels - 1;
  layout->wholeReason = "animated GIF";
  // Room for the widest line an image can have.
  s->line = static_cast<uint8_t*>(std::malloc(65535));
  if (s->line == nullptr) {
    SetImageError(error, *s->source, "out of memory");
    return false;
  }
  return true;
}

// giflib on the file from its start, through the screen descriptor.
bool StartGif(GifState* s, std::string* error) {
  if (s->gif != nullptr) {
    int ignored = 0;
    DGifCloseFile(s->gif, &ignored);
    s->gif = nullptr;
  }
  if (fseeko(s->source->file, 0, SEEK_SET) != 0) {
    SetImageError(error, *s->source, "cannot go back to the start of the file");
    return false;
  }
  int code = 0;
  s->gif = DGifOpen(s, ReadFunc, &code);
  return s->gif != nullptr || Failure(*s->source, code, error);
}

bool GifOpen(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  *state = nullptr;
  *layout = StoredLayout();
  layout->format = "GIF";
  GifScan scan;
  if (!ScanFrames(source, &scan, error)) {
    if (error->empty()) SetImageError(error, *source, "cannot be read");
    return false;
  }
  GifState* s = new GifState;
  s->source = source;
  if (!StartGif(s, error)) {
    GifClose(s);
    return false;
  }
  // A GIF of one image is read as it always was, streamed as indices.
  const bool composite = source->animation && scan.frames > 1;
  if (!(composite ? DescribeCanvas(s, scan, layout, error) : Describe(s, layout, error))) {
    GifClose(s);
    return false;
  }
  // A file whose first image cannot even be counted fails as it always did.
  layout->frames = scan.frames > 0 ? scan.frames : 1;
  layout->loopCount = scan.frames > 1 ? scan.loops : 1;
  layout->frameDelay = scan.delay;
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

// ---- composited frames ----------------------------------------------------------

// What the frame last shown leaves for the next: its place cleared, or put
// back as it was.
void Dispose(GifState* s) {
  if (s->placedWidth <= 0 || s->placedHeight <= 0 || (s->disposal != 2 && s->disposal != 3)) return;
  const size_t ch = static_cast<size_t>(s->channels);
  const size_t bytes = static_cast<size_t>(s->placedWidth) * ch;
  for (int32_t r = 0; r < s->placedHeight; ++r) {
    uint8_t* at =
        s->canvas + (static_cast<size_t>(s->placedTop + r) * static_cast<size_t>(s->width) +
                     static_cast<size_t>(s->placedLeft)) *
                        ch;
    if (s->disposal == 2) {
      std::memset(at, 0, bytes);
    } else {
      std::memcpy(at, s->under + static_cast<size_t>(r) * bytes, bytes);
    }
  }
}

// Keeps what the frame about to be drawn covers, to put back after it.
bool KeepUnder(GifState* s, std::string* error) {
  const size_t ch = static_cast<size_t>(s->channels);
  if (s->under == nullptr) {
    s->under = AllocateImageMemory(
        *s->source, static_cast<uint64_t>(s->width) * static_cast<uint64_t>(s->height) * ch,
        "animated GIF", error);
    if (s->under == nullptr) return false;
  }
  const size_t bytes = static_cast<size_t>(s->placedWidth) * ch;
  for (int32_t r = 0; r < s->placedHeight; ++r) {
    std::memcpy(s->under + static_cast<size_t>(r) * bytes,
                s->canvas + (static_cast<size_t>(s->placedTop + r) * static_cast<size_t>(s->width) +
                             static_cast<size_t>(s->placedLeft)) *
                                ch,
                bytes);
  }
  return true;
}

// The colours of the image's table, RGBA; entries past the table opaque
// black, as on the first image; without any table the grey ramp.
void FrameColours(const ColorMapObject* map, int transparent, uint8_t colours[256][4]) {
  for (int i = 0; i < 256; ++i) {
    const bool inTable = map != nullptr && map->Colors != nullptr && i < map->ColorCount;
    const bool ramp = map == nullptr || map->Colors == nullptr;
    const uint8_t grey = ramp ? static_cast<uint8_t>(i) : 0;
    colours[i][0] = inTable ? map->Colors[i].Red : grey;
    colours[i][1] = inTable ? map->Colors[i].Green : grey;
    colours[i][2] = inTable ? map->Colors[i].Blue : grey;
    colours[i][3] = i == transparent ? 0 : 255;
  }
}

// One decoded line of the image onto screen row `row`; the transparent
// index leaves the canvas as it is.
void DrawLine(GifState* s, const uint8_t colours[256][4], int32_t row) {
  const size_t ch = static_cast<size_t>(s->channels);
  uint8_t* out = s->canvas + (static_cast<size_t>(row) * static_cast<size_t>(s->width) +
                              static_cast<size_t>(s->placedLeft)) *
                                 ch;
  for (int32_t x = 0; x < s->placedWidth; ++x, out += ch) {
    const uint8_t* c = colours[s->line[x]];
    if (c[3] == 0) continue;
    if (ch == 2) {
      out[0] = c[0];
      out[1] = 255;
    } else {
      std::memcpy(out, c, 4);
    }
  }
}

// Decodes the next image of the file onto the canvas, after the previous
// one's disposal; `control` gets what its graphic control extension says.
bool CompositeFrame(GifState* s, FrameControl* control, std::string* error) {
  GifFileType* gif = s->gif;
  if (s->canvas == nullptr) {
    const uint64_t bytes = static_cast<uint64_t>(s->width) * static_cast<uint64_t>(s->height) *
                           static_cast<uint64_t>(s->channels);
    s->canvas = AllocateImageMemory(*s->source, bytes, "animated GIF", error);
    if (s->canvas == nullptr) return false;
    std::memset(s->canvas, 0, static_cast<size_t>(bytes));
  }
  if (s->shown > 0) Dispose(s);
  *control = FrameControl();
  if (!FindImage(s, control, error)) return false;
  const GifImageDesc& d = gif->Image;
  s->disposal = control->disposal;
  s->placedLeft = d.Left;
  s->placedTop = d.Top;
  s->placedWidth = d.Left < s->width ? std::min(d.Width, s->width - d.Left) : 0;
  s->placedHeight = d.Top < s->height ? std::min(d.Height, s->height - d.Top) : 0;
  if (s->placedWidth <= 0 || s->placedHeight <= 0) s->placedWidth = s->placedHeight = 0;
  if (s->disposal == 3 && s->placedWidth > 0 && !KeepUnder(s, error)) return false;
  uint8_t colours[256][4];
  FrameColours(d.ColorMap != nullptr ? d.ColorMap : gif->SColorMap, control->transparent, colours);
  static const int32_t start[4] = {0, 4, 2, 1};
  static const int32_t step[4] = {8, 8, 4, 2};
  const int passes = d.Interlace ? 4 : 1;
  int32_t missing = s->placedHeight;
  int32_t lines = 0;
  for (int pass = 0; pass < passes && missing > 0; ++pass) {
    for (int32_t r = d.Interlace ? start[pass] : 0; r < d.Height && missing > 0;
         r += d.Interlace ? step[pass] : 1) {
      if (Interrupted(*s->source, error)) return false;
      if (DGifGetLine(gif, s->line, d.Width) == GIF_ERROR)
        return Failure(*s->source, gif->Error, error);
      ++lines;
      if (r < s->placedHeight) {
        DrawLine(s, colours, s->placedTop + r);
        --missing;
      }
    }
  }
  // The lines below the screen are passed over undecoded; giflib itself
  // reads past the data of an image whose every line was asked for.
  const bool everyLine = d.Width > 0 && lines == d.Height;
  if (!everyLine && !SkipImageData(gif)) return Failure(*s->source, gif->Error, error);
  ++s->shown;
  return true;
}

// Brings the canvas on to frame source->frame.
bool CatchUp(GifState* s, int32_t* delay, std::string* error) {
  FrameControl control;
  while (s->shown < s->source->frame) {
    if (!CompositeFrame(s, &control, error)) return false;
    if (delay != nullptr) *delay = control.delay;
  }
  s->next = 0;
  return true;
}

bool GifReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  GifState* s = static_cast<GifState*>(state);
  if (s->composite) {
    if (s->shown < s->source->frame && !CatchUp(s, nullptr, error)) return false;
    const size_t bytes = static_cast<size_t>(s->width) * static_cast<size_t>(s->channels);
    for (int32_t r = 0; r < count; ++r, ++s->next) {
      std::memcpy(rows[r], s->canvas + static_cast<size_t>(s->next) * bytes, bytes);
    }
    return true;
  }
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

bool GifNextFrame(void* state, int32_t* delay, std::string* error) {
  return CatchUp(static_cast<GifState*>(state), delay, error);
}

bool GifRewind(void* state, int32_t* delay, std::string* error) {
  GifState* s = static_cast<GifState*>(state);
  s->next = 0;
  if (!s->composite) {
    if (s->interlaced && s->whole != nullptr) return true;
    FrameControl control;
    return StartGif(s, error) && FindImage(s, &control, error);
  }
  if (s->shown > s->source->frame) {
    if (!StartGif(s, error)) return false;
    const size_t bytes = static_cast<size_t>(s->width) * static_cast<size_t>(s->height) *
                         static_cast<size_t>(s->channels);
    if (s->canvas != nullptr) std::memset(s->canvas, 0, bytes);
    s->shown = 0;
    s->disposal = 0;
    s->placedLeft = s->placedTop = s->placedWidth = s->placedHeight = 0;
  }
  return CatchUp(s, delay, error);
}

const ImageReader reader = {"GIF", GifOpen, GifReadRows, GifClose, GifNextFrame, GifRewind};

}  // namespace

const ImageReader* const kGifReader = &reader;
