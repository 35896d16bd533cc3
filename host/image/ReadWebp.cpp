// WebP through libwebp, decoded whole: the file is read into memory and
// decoded at the first request. An animation gives its first frame on the
// canvas. The EXIF chunk's orientation is honoured like any other file's.
#include <cstdlib>
#include <cstring>
#include <string>

#include <webp/decode.h>
#include <webp/demux.h>

#include "host/image/Exif.h"
#include "host/image/ImageInternal.h"

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
};

void WebpClose(void* state) {
  WebpState* s = static_cast<WebpState*>(state);
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

bool Decode(WebpState* s, std::string* error) {
  const size_t stride = static_cast<size_t>(s->width) * static_cast<size_t>(s->channels);
  const uint64_t bytes = static_cast<uint64_t>(stride) * static_cast<uint64_t>(s->height);
  s->pixels = AllocateImageMemory(*s->source, bytes, "WebP", error);
  if (s->pixels == nullptr) return false;
  if (s->animated) {
    WebPData whole = {s->data, s->size};
    WebPAnimDecoderOptions options;
    if (WebPAnimDecoderOptionsInit(&options) == 0) return Corrupt(s, "cannot decode", error);
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&whole, &options);
    if (decoder == nullptr) return Corrupt(s, "cannot decode the animation", error);
    uint8_t* frame = nullptr;
    int timestamp = 0;
    bool ok = WebPAnimDecoderGetNext(decoder, &frame, &timestamp) != 0 && frame != nullptr;
    if (ok) std::memcpy(s->pixels, frame, static_cast<size_t>(bytes));
    WebPAnimDecoderDelete(decoder);
    if (!ok) return Corrupt(s, "cannot decode the first frame", error);
  } else {
    WebPDecoderConfig config;
    if (WebPInitDecoderConfig(&config) == 0) return Corrupt(s, "cannot decode", error);
    config.output.colorspace = s->channels == 4 ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = s->pixels;
    config.output.u.RGBA.stride = static_cast<int>(stride);
    config.output.u.RGBA.size = static_cast<size_t>(bytes);
    VP8StatusCode status = WebPDecode(s->data, s->size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status == VP8_STATUS_NOT_ENOUGH_DATA) {
      SetImageError(error, *s->source, TruncatedMessage("WebP"));
      return false;
    }
    if (status != VP8_STATUS_OK) return Corrupt(s, "the bitstream is damaged", error);
  }
  std::free(s->data);
  s->data = nullptr;
  return true;
}

bool WebpReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  WebpState* s = static_cast<WebpState*>(state);
  if (s->pixels == nullptr && !Decode(s, error)) return false;
  const size_t stride = static_cast<size_t>(s->width) * static_cast<size_t>(s->channels);
  for (int32_t r = 0; r < count; ++r, ++s->next) {
    std::memcpy(rows[r], s->pixels + static_cast<size_t>(s->next) * stride, stride);
  }
  return true;
}

const ImageReader reader = {"WebP", WebpOpen, WebpReadRows, WebpClose};

}  // namespace

const ImageReader* const kWebpReader = &reader;
