// WebP through libwebp, decoded whole: the file is read into memory and
// decoded at the first request, by libwebp's incremental decoder a step at
// a time. An animation gives its first frame on the canvas. The EXIF
// chunk's orientation is honoured like any other file's.
//
// Animations: the demuxer counts the frames from the chunk headers alone.
// Frames composited one after another (ImageSource::animation) come from
// libwebp's animation decoder, which blends and disposes them as browsers
// do on a canvas that starts transparent, holding two canvases of its own;
// rows are served from its canvas.
//
// Going back to the top serves the decoded image or the canvas again; a
// frame before the one on the canvas is made again by the animation
// decoder from the first.
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/image/budget/MemoryBudget.h"
#include "host/image/readers/Exif.h"
#include "host/image/readers/ImageReader.h"

namespace {

struct WebpState {
  ImageSource* source = nullptr;
  uint8_t* data = nullptr;    // the file, until decoded
  size_t size = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 3;
  bool animated = false;
  uint8_t* pixels = nullptr;  // once decoded
  int32_t next = 0;
  // Composited frames.
  WebPAnimDecoder* anim = nullptr;
  const uint8_t* canvas = nullptr;  // the animation decoder's, once a frame is out
  int32_t shown = 0;
};

void WebpClose(void* state) {
  WebpState* s = static_cast<WebpState*>(state);
  if (s->anim != nullptr) WebPAnimDecoderDelete(s->anim);
  std::free(s->data);
  std::free(s->pixels);
  delete s;
}

bool Corrupt(const WebpState* s, const char* what, std::string* error) {
  SetImageError(error, *s->source, std::string("corrupt WebP data: ") + what);
  return false;
}

bool Describe(WebpState* s, StoredLayout* layout, std::string* error) {
  WebPData whole = {s->data, s->size};
  WebPDemuxState parsed = WEBP_DEMUX_PARSE_ERROR;
  WebPDemuxer* demux = WebPDemuxPartial(&whole, &parsed);
  if (demux == nullptr || parsed == WEBP_DEMUX_PARSE_ERROR) {
    if (demux != nullptr) WebPDemuxDelete(demux);
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(s->data, s->size, &features) == VP8_STATUS_NOT_ENOUGH_DATA) {
      SetImageError(error, *s->source, TruncatedMessage("WebP"));
      return false;
    }
    return Corrupt(s, "the file's structure is damaged", error);
  }
  if (parsed != WEBP_DEMUX_DONE) {
    WebPDemuxDelete(demux);
    SetImageError(error, *s->source, TruncatedMessage("WebP"));
    return false;
  }
  s->width = static_cast<int32_t>(WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH));
  s->height = static_cast<int32_t>(WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT));
  const uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
  if ((flags & EXIF_FLAG) != 0) {
    WebPChunkIterator chunk;
    if (WebPDemuxGetChunk(demux, "EXIF", 1, &chunk) != 0) {
      layout->orientation = ExifOrientation(chunk.chunk.bytes, chunk.chunk.size);
      WebPDemuxReleaseChunkIterator(&chunk);
    }
  }
  s->animated = (flags & ANIMATION_FLAG) != 0;
  if (s->animated) {
    const uint32_t frames = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT);
    layout->frames = frames > 0 && frames <= INT32_MAX ? static_cast<int32_t>(frames) : 1;
    layout->loopCount = static_cast<int32_t>(WebPDemuxGetI(demux, WEBP_FF_LOOP_COUNT) & 0xFFFF);
    WebPIterator frame;
    if (WebPDemuxGetFrame(demux, s->source->frame, &frame) != 0) {
      layout->frameDelay = frame.duration;
      WebPDemuxReleaseIterator(&frame);
    }
  }
  WebPDemuxDelete(demux);
  layout->width = s->width;
  layout->height = s->height;
  if (!CheckImageSize(*s->source, s->width, s->height, error)) return false;
  WebPBitstreamFeatures features;
  VP8StatusCode status = WebPGetFeatures(s->data, s->size, &features);
  if (!s->animated && status != VP8_STATUS_OK) {
    if (status == VP8_STATUS_NOT_ENOUGH_DATA) {
      SetImageError(error, *s->source, TruncatedMessage("WebP"));
      return false;
    }
    return Corrupt(s, "bad bitstream header", error);
  }
  const bool alpha = s->animated || features.has_alpha != 0;
  s->channels = alpha ? 4 : 3;
  layout->space = StoredSpace::RGB;
  layout->channels = s->channels;
  layout->alphaChannel = alpha ? 3 : -1;
  layout->wholeReason = s->animated ? "animated WebP" : "WebP";
  return true;
}

bool WebpOpen(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  *state = nullptr;
  *layout = StoredLayout();
  layout->format = "WebP";
  WebpState* s = new WebpState;
  s->source = source;
  s->data = AllocateImageMemory(*source, source->size, "the WebP file", error);
  s->size = static_cast<size_t>(source->size);
  if (s->data == nullptr || !ReadSourceBytes(source, s->data, s->size)) {
    if (s->data != nullptr) SetImageError(error, *source, "cannot be read");
    WebpClose(s);
    return false;
  }
  if (!Describe(s, layout, error)) {
    WebpClose(s);
    return false;
  }
  *state = s;
  return true;
}

// How much of the file each step of the incremental decoder is given: the
// cancel flag is looked at between steps.
constexpr size_t kDecodeStep = 16 * 1024;

// Memory libwebp takes of its own to decode a frame of w x h: a lossless
// frame is decoded whole into 32-bit pixels first; a lossy one keeps its
// alpha plane; both keep a few rows (the lossy decoder's cache is 16 rows
// of Y, U and V plus filtering context).
uint64_t DecoderBytes(const uint8_t* data, size_t size, int32_t w, int32_t h) {
  WebPBitstreamFeatures features;
  const uint64_t pixels = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
  uint64_t bytes = static_cast<uint64_t>(w) * 64 + 65536;
  if (WebPGetFeatures(data, size, &features) != VP8_STATUS_OK || features.format != 1) {
    bytes += pixels * 4;  // lossless, or not known: the larger
  } else if (features.has_alpha != 0) {
    bytes += pixels;
  }
  return bytes;
}

bool DecodeFailed(const WebpState* s, VP8StatusCode status, uint64_t bytes, std::string* error) {
  if (status == VP8_STATUS_NOT_ENOUGH_DATA || status == VP8_STATUS_SUSPENDED) {
    SetImageError(error, *s->source, TruncatedMessage("WebP"));
    return false;
  }
  if (status == VP8_STATUS_OUT_OF_MEMORY) {
    SetImageError(error, *s->source, OutOfMemoryMessage(bytes, "WebP"));
    return false;
  }
  return Corrupt(s, "the bitstream is damaged", error);
}

// Decodes the bitstream `data` (a still image, or a frame) into `out`, rows
// `stride` apart, in steps, looking at the cancel flag between them.
bool DecodeInto(WebpState* s, const uint8_t* data, size_t size, int32_t w, int32_t h,
                WEBP_CSP_MODE mode, uint8_t* out, size_t stride, std::string* error) {
  const uint64_t internal = DecoderBytes(data, size, w, h);
  if (!ChargeMemory(*s->source, internal, s->animated ? "animated WebP" : "WebP", error)) return false;
  const size_t channels = mode == MODE_RGB ? 3 : 4;
  WebPDecoderConfig config;
  if (WebPInitDecoderConfig(&config) == 0) return Corrupt(s, "cannot decode", error);
  config.output.colorspace = mode;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = out;
  config.output.u.RGBA.stride = static_cast<int>(stride);
  config.output.u.RGBA.size = stride * static_cast<size_t>(h - 1) + static_cast<size_t>(w) * channels;
  WebPIDecoder* decoder = WebPINewDecoder(&config.output);
  if (decoder == nullptr) {
    SetImageError(error, *s->source, OutOfMemoryMessage(0, "WebP"));
    return false;
  }
  VP8StatusCode status = VP8_STATUS_SUSPENDED;
  for (size_t given = 0; status == VP8_STATUS_SUSPENDED && given < size;) {
    if (Interrupted(*s->source, error)) {
      WebPIDelete(decoder);
      return false;
    }
    given = size - given > kDecodeStep ? given + kDecodeStep : size;
    status = WebPIUpdate(decoder, data, given);
  }
  WebPIDelete(decoder);
  ReleaseMemory(*s->source, internal);
  if (status != VP8_STATUS_OK) return DecodeFailed(s, status, internal, error);
  // A small file can hold a whole frame in one step.
  return !Interrupted(*s->source, error);
}

bool Decode(WebpState* s, std::string* error) {
  const size_t stride = static_cast<size_t>(s->width) * static_cast<size_t>(s->channels);
  const uint64_t bytes = static_cast<uint64_t>(stride) * static_cast<uint64_t>(s->height);
  s->pixels = AllocateImageMemory(*s->source, bytes, s->animated ? "animated WebP" : "WebP", error);
  if (s->pixels == nullptr) return false;
  if (s->animated) {
    // The first frame on a transparent canvas, as libwebp's animation
    // decoder composes it; decoded straight into the canvas rather than
    // through that decoder, which keeps two more canvases of its own.
    std::memset(s->pixels, 0, static_cast<size_t>(bytes));
    WebPData whole = {s->data, s->size};
    WebPDemuxer* demux = WebPDemux(&whole);
    if (demux == nullptr) return Corrupt(s, "cannot decode the animation", error);
    WebPIterator frame;
    if (WebPDemuxGetFrame(demux, 1, &frame) == 0) {
      WebPDemuxDelete(demux);
      return Corrupt(s, "the animation has no frame", error);
    }
    bool ok = false;
    if (frame.width < 1 || frame.height < 1 || frame.x_offset < 0 || frame.y_offset < 0 ||
        frame.x_offset + frame.width > s->width || frame.y_offset + frame.height > s->height) {
      Corrupt(s, "the first frame lies outside the canvas", error);
    } else {
      uint8_t* at = s->pixels + static_cast<size_t>(frame.y_offset) * stride +
                    static_cast<size_t>(frame.x_offset) * 4;
      ok = DecodeInto(s, frame.fragment.bytes, frame.fragment.size, frame.width, frame.height,
                      MODE_RGBA, at, stride, error);
    }
    WebPDemuxReleaseIterator(&frame);
    WebPDemuxDelete(demux);
    if (!ok) return false;
  } else if (!DecodeInto(s, s->data, s->size, s->width, s->height,
                         s->channels == 4 ? MODE_RGBA : MODE_RGB, s->pixels, stride, error)) {
    return false;
  }
  std::free(s->data);
  s->data = nullptr;
  ReleaseMemory(*s->source, s->size);
  return true;
}

// ---- composited frames ----------------------------------------------------------

// libwebp's animation decoder on the file, charged for its two canvases and
// what decoding a frame as large as the canvas takes.
bool StartAnimation(WebpState* s, std::string* error) {
  const uint64_t canvas =
      uint64_t{4} * static_cast<uint64_t>(s->width) * static_cast<uint64_t>(s->height);
  if (!ChargeMemory(*s->source, 2 * canvas + DecoderBytes(nullptr, 0, s->width, s->height),
                    "animated WebP", error)) {
    return false;
  }
  WebPAnimDecoderOptions options;
  if (WebPAnimDecoderOptionsInit(&options) == 0)
    return Corrupt(s, "cannot decode the animation", error);
  options.color_mode = MODE_RGBA;
  options.use_threads = 0;
  const WebPData whole = {s->data, s->size};
  s->anim = WebPAnimDecoderNew(&whole, &options);
  if (s->anim == nullptr) return Corrupt(s, "cannot decode the animation", error);
  return true;
}

// Brings the canvas on to frame source->frame; `delay` gets its delay.
bool CatchUp(WebpState* s, int32_t* delay, std::string* error) {
  if (s->anim == nullptr && !StartAnimation(s, error)) return false;
  while (s->shown < s->source->frame) {
    if (Interrupted(*s->source, error)) return false;
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (WebPAnimDecoderHasMoreFrames(s->anim) == 0 ||
        WebPAnimDecoderGetNext(s->anim, &canvas, &timestamp) == 0) {
      return Corrupt(s, "the bitstream is damaged", error);
    }
    s->canvas = canvas;
    ++s->shown;
  }
  WebPIterator frame;
  if (delay != nullptr &&
      WebPDemuxGetFrame(WebPAnimDecoderGetDemuxer(s->anim), s->shown, &frame) != 0) {
    *delay = frame.duration;
    WebPDemuxReleaseIterator(&frame);
  }
  s->next = 0;
  return true;
}

bool WebpReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  WebpState* s = static_cast<WebpState*>(state);
  const bool composite = s->animated && s->source->animation;
  if (composite && s->shown < s->source->frame && !CatchUp(s, nullptr, error)) return false;
  if (!composite && s->pixels == nullptr && !Decode(s, error)) return false;
  const uint8_t* pixels = composite ? s->canvas : s->pixels;
  const size_t stride = static_cast<size_t>(s->width) * static_cast<size_t>(s->channels);
  for (int32_t r = 0; r < count; ++r, ++s->next) {
    std::memcpy(rows[r], pixels + static_cast<size_t>(s->next) * stride, stride);
  }
  return true;
}

bool WebpNextFrame(void* state, int32_t* delay, std::string* error) {
  WebpState* s = static_cast<WebpState*>(state);
  if (!s->animated || !s->source->animation) {
    s->next = 0;  // a still image: it is its only frame
    return true;
  }
  return CatchUp(s, delay, error);
}

bool WebpRewind(void* state, int32_t* delay, std::string* error) {
  WebpState* s = static_cast<WebpState*>(state);
  s->next = 0;
  if (!s->animated || !s->source->animation) return true;
  if (s->anim != nullptr && s->shown > s->source->frame) {
    WebPAnimDecoderReset(s->anim);
    s->canvas = nullptr;
    s->shown = 0;
  }
  return CatchUp(s, delay, error);
}

const ImageReader reader = {"WebP", WebpOpen, WebpReadRows, WebpClose, WebpNextFrame, WebpRewind};

}  // namespace

const ImageReader* const kWebpReader = &reader;
