// JPEG XL through libjxl, decoded whole: the file is read into memory and
// its first frame (of an animation, the first frame as shown) decoded at the
// first request, by libjxl straight into our buffer (its pixel callback
// would make it keep a float copy of the frame: 12 more bytes a pixel).
// libjxl turns the image by the orientation in its header itself; the
// layout is the turned image, and the orientation is reported, not applied
// again.
//
// Animations: a second decoder that asks for frame headers alone counts
// the frames at open (libjxl then passes over their pixel data without
// decoding it). A frame after the first is reached by libjxl's frame
// skipping, and frames composited one after another (ImageSource::
// animation) come from the same decoder, which blends them itself and keeps
// the frames later ones refer to; the file stays in memory meanwhile. Going
// back to the top serves the decoded frame again; an earlier frame is made
// by a new decoder on the file in memory, from the first.
//
// libjxl runs its work in tasks (a group of 256 x 256 pixels, a pass of a
// stage) through a runner we give it: ours runs them on this thread and
// looks at the cancel flag before each, failing the decode once it is set.
// Memory libjxl takes through its memory manager is charged to the budget;
// libjxl 0.7 allocates its image buffers with malloc, not through it, so
// those are estimated and charged before the decode.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <jxl/decode.h>
#include <jxl/encode.h>
#include <jxl/version.h>

#include "host/image/budget/MemoryBudget.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/readers/LibraryOutput.h"
#include "host/image/readers/SharedLibrary.h"

namespace {

// libjxl, loaded when the first JPEG XL file is opened (SharedLibrary.h
// says why).
#define JXL_FUNCTIONS(X) \
  X(JxlColorEncodingSetToSRGB) \
  X(JxlDecoderCreate) \
  X(JxlDecoderDestroy) \
  X(JxlDecoderGetBasicInfo) \
  X(JxlDecoderGetColorAsEncodedProfile) \
  X(JxlDecoderGetExtraChannelInfo) \
  X(JxlDecoderGetFrameHeader) \
  X(JxlDecoderImageOutBufferSize) \
  X(JxlDecoderProcessInput) \
  X(JxlDecoderSetImageOutBuffer) \
  X(JxlDecoderSetInput) \
  X(JxlDecoderSetKeepOrientation) \
  X(JxlDecoderSetParallelRunner) \
  X(JxlDecoderSetPreferredColorProfile) \
  X(JxlDecoderSetUnpremultiplyAlpha) \
  X(JxlDecoderSkipFrames) \
  X(JxlDecoderSubscribeEvents)
struct JxlFunctions {
  JXL_FUNCTIONS(GW_FUNCTION_SLOT)
};
const JxlFunctions* gJxl = nullptr;

// False with the users' message (after the file's name) when libjxl cannot
// be had.
bool LoadJxl(std::string* error) {
  static std::once_flag once;
  static JxlFunctions table;
  static std::string failure;
  std::call_once(once, [] {
    static const char* const kNames[] = {JXL_FUNCTIONS(GW_FUNCTION_NAME) nullptr};
    std::vector<void*> addresses;
    // Before 1.0 every minor version is an ABI of its own.
    const std::string soname = JPEGXL_MAJOR_VERSION == 0 ? "libjxl.so.0." + std::to_string(JPEGXL_MINOR_VERSION)
                                                         : "libjxl.so." + std::to_string(JPEGXL_MAJOR_VERSION);
    bool absent = false;
    if (!OpenSharedLibrary(soname, kNames, &addresses, &failure, &absent)) {
      failure = absent ? "a JPEG XL file, which needs the package " GW_JXL_PACKAGE
                         ", not installed here (apt install " GW_JXL_PACKAGE ")"
                       : "a JPEG XL file, and this machine's libjxl cannot be used: " + failure;
      return;
    }
    size_t next = 0;
    JXL_FUNCTIONS(GW_FUNCTION_TAKE)
    gJxl = &table;
  });
  if (gJxl == nullptr) *error = failure;
  return gJxl != nullptr;
}


struct JxlState {
  ImageSource* source = nullptr;
  uint8_t* data = nullptr;  // the file, until decoded
  size_t size = 0;
  JxlMemoryManager memory = {};
  JxlDecoder* decoder = nullptr;
  JxlBasicInfo info = {};
  bool memoryRefused = false;  // the budget refused one of libjxl's allocations
  bool interrupted = false;    // the runner stopped at the cancel flag
  int32_t width = 0;           // as delivered, turned
  int32_t height = 0;
  int32_t channels = 0;
  bool wide = false;           // samples of more than 8 bits: decoded as 16, then scaled
  const char* reason = "JPEG XL";
  uint64_t estimate = 0;       // charged while decoding
  uint8_t* pixels = nullptr;
  bool attempted = false;      // Decode ran (once is all it may)
  bool ready = false;          // the frame asked for is in `pixels`
  int32_t next = 0;
  // Animations: frames one after another keep the decoder; the frames out
  // so far, and the delay of the last.
  bool composite = false;
  int32_t shown = 0;
  int32_t delay = 0;
};

// libjxl's allocations, each with its size in front.
constexpr size_t kHeader = 16;

void* JxlAllocate(void* opaque, size_t size) {
  JxlState* s = static_cast<JxlState*>(opaque);
  if (size > SIZE_MAX - kHeader || size + kHeader > MemoryLeft(*s->source)) {
    s->memoryRefused = true;
    return nullptr;
  }
  // Charged first: from a shared budget the charge may have to wait, or
  // fail so that the image can give its memory back before it waits.
  std::string unused;
  if (!ChargeMemory(*s->source, size + kHeader, nullptr, &unused)) {
    s->memoryRefused = true;
    return nullptr;
  }
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) {
    ReleaseMemory(*s->source, size + kHeader);
    return nullptr;
  }
  std::memcpy(block, &size, sizeof size);
  return static_cast<uint8_t*>(block) + kHeader;
}

void JxlFree(void* opaque, void* address) {
  if (address == nullptr) return;
  JxlState* s = static_cast<JxlState*>(opaque);
  uint8_t* block = static_cast<uint8_t*>(address) - kHeader;
  size_t size = 0;
  std::memcpy(&size, block, sizeof size);
  ReleaseMemory(*s->source, size + kHeader);
  std::free(block);
}

JxlParallelRetCode JxlRun(void* runner, void* opaque, JxlParallelRunInit init,
                          JxlParallelRunFunction run, uint32_t start, uint32_t end) {
  JxlState* s = static_cast<JxlState*>(runner);
  const JxlParallelRetCode ready = init(opaque, 1);
  if (ready != 0) return ready;
  for (uint32_t i = start; i < end; ++i) {
    if (CancelRequested(*s->source)) {
      s->interrupted = true;
      return JXL_PARALLEL_RET_RUNNER_ERROR;
    }
    run(opaque, i, 0);
  }
  return 0;
}

// 16-bit samples to 8, rounded, as the PNG and TIFF readers scale; in
// place, front to back (each 8-bit sample lands before its 16-bit one).
void NarrowSamples(uint8_t* pixels, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    uint16_t v;
    std::memcpy(&v, pixels + 2 * i, 2);
    pixels[i] = static_cast<uint8_t>((uint32_t{v} * 255 + 32767) / 65535);
  }
}

void JxlClose(void* state) {
  JxlState* s = static_cast<JxlState*>(state);
  if (s->decoder != nullptr) gJxl->JxlDecoderDestroy(s->decoder);
  std::free(s->data);
  std::free(s->pixels);
  delete s;
}

// The users' message for a decode that stopped with `status`; `stage` says
// what was being read.
bool JxlFailed(JxlState* s, JxlDecoderStatus status, const char* stage, std::string* error) {
  if (s->interrupted || CancelRequested(*s->source)) {
    SetImageError(error, *s->source, "interrupted");
  } else if (s->memoryRefused) {
    SetImageError(error, *s->source, MemoryLimitMessage(*s->source, 0, s->reason));
  } else if (status == JXL_DEC_NEED_MORE_INPUT) {
    SetImageError(error, *s->source, TruncatedMessage("JPEG XL"));
  } else {
    SetImageError(error, *s->source, std::string("corrupt JPEG XL data: ") + stage + " is damaged");
  }
  return false;
}

// libjxl reports the orientation only to a decoder that is not to apply
// it: a second one reads the header for it.
int32_t HeaderOrientation(JxlState* s) {
  JxlDecoder* decoder = gJxl->JxlDecoderCreate(&s->memory);
  if (decoder == nullptr) return 1;
  JxlBasicInfo info = {};
  info.orientation = JXL_ORIENT_IDENTITY;
  if (gJxl->JxlDecoderSetKeepOrientation(decoder, JXL_TRUE) != JXL_DEC_SUCCESS ||
      gJxl->JxlDecoderSubscribeEvents(decoder, JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
      gJxl->JxlDecoderSetInput(decoder, s->data, s->size) != JXL_DEC_SUCCESS ||
      gJxl->JxlDecoderProcessInput(decoder) != JXL_DEC_BASIC_INFO ||
      gJxl->JxlDecoderGetBasicInfo(decoder, &info) != JXL_DEC_SUCCESS) {
    info.orientation = JXL_ORIENT_IDENTITY;
  }
  gJxl->JxlDecoderDestroy(decoder);
  const int32_t orientation = static_cast<int32_t>(info.orientation);
  return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

// A duration in ticks in milliseconds.
int32_t TicksToMilliseconds(const JxlBasicInfo& info, uint32_t ticks) {
  if (info.animation.tps_numerator == 0) return 0;
  const uint64_t ms =
      uint64_t{ticks} * 1000 * info.animation.tps_denominator / info.animation.tps_numerator;
  return ms < INT32_MAX ? static_cast<int32_t>(ms) : INT32_MAX;
}

// The frames an animation shows, from their headers alone, and the delay
// of frame source->frame. A file damaged after its first frame header
// shows the frames before the damage (the decode reports it).
void CountFrames(JxlState* s, StoredLayout* layout) {
  JxlDecoder* decoder = gJxl->JxlDecoderCreate(&s->memory);
  if (decoder == nullptr) return;
  int32_t frames = 0;
  if (gJxl->JxlDecoderSetParallelRunner(decoder, JxlRun, s) == JXL_DEC_SUCCESS &&
      gJxl->JxlDecoderSubscribeEvents(decoder, JXL_DEC_FRAME) == JXL_DEC_SUCCESS &&
      gJxl->JxlDecoderSetInput(decoder, s->data, s->size) == JXL_DEC_SUCCESS) {
    while (gJxl->JxlDecoderProcessInput(decoder) == JXL_DEC_FRAME && frames < INT32_MAX) {
      JxlFrameHeader header;
      ++frames;
      if (frames == s->source->frame &&
          gJxl->JxlDecoderGetFrameHeader(decoder, &header) == JXL_DEC_SUCCESS) {
        layout->frameDelay = TicksToMilliseconds(s->info, header.duration);
      }
    }
  }
  gJxl->JxlDecoderDestroy(decoder);
  layout->frames = frames > 0 ? frames : 1;
}

// A decoder on the file held in memory, through the basic information;
// false with the users' message.
bool StartDecoder(JxlState* s, std::string* error) {
  s->decoder = gJxl->JxlDecoderCreate(&s->memory);
  if (s->decoder == nullptr) {
    SetImageError(error, *s->source, s->memoryRefused ? MemoryLimitMessage(*s->source, 0, "JPEG XL")
                                                      : OutOfMemoryMessage(0, "JPEG XL"));
    return false;
  }
  if (gJxl->JxlDecoderSetParallelRunner(s->decoder, JxlRun, s) != JXL_DEC_SUCCESS ||
      gJxl->JxlDecoderSetUnpremultiplyAlpha(s->decoder, JXL_TRUE) != JXL_DEC_SUCCESS ||
      gJxl->JxlDecoderSubscribeEvents(s->decoder, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                                      JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE) !=
          JXL_DEC_SUCCESS ||
      gJxl->JxlDecoderSetInput(s->decoder, s->data, s->size) != JXL_DEC_SUCCESS) {
    SetImageError(error, *s->source, "cannot set up the JPEG XL decoder");
    return false;
  }
  // The input is left open: a file that ends early then asks for more
  // (truncated) rather than failing as an error of use.
  const JxlDecoderStatus status = gJxl->JxlDecoderProcessInput(s->decoder);
  if (status != JXL_DEC_BASIC_INFO) return JxlFailed(s, status, "the header", error);
  if (gJxl->JxlDecoderGetBasicInfo(s->decoder, &s->info) != JXL_DEC_SUCCESS) {
    return JxlFailed(s, JXL_DEC_ERROR, "the header", error);
  }
  return true;
}

// The layout of the image the basic information describes (turned as
// libjxl turns it); false for sizes the interface cannot carry and for
// CMYK.
bool DescribeLayout(JxlState* s, StoredLayout* layout, std::string* error) {
  const JxlBasicInfo& info = s->info;
  // The sizes are those of the turned image.
  const int64_t width = info.xsize;
  const int64_t height = info.ysize;
  const int32_t orientation = HeaderOrientation(s);
  if (!CheckImageSize(*s->source, width, height, error)) return false;
  for (uint32_t i = 0; i < info.num_extra_channels; ++i) {
    JxlExtraChannelInfo extra;
    if (gJxl->JxlDecoderGetExtraChannelInfo(s->decoder, i, &extra) == JXL_DEC_SUCCESS &&
        extra.type == JXL_CHANNEL_BLACK) {
      SetImageError(error, *s->source, "a CMYK JPEG XL file (with a black channel), which is not supported");
      return false;
    }
  }
  const bool gray = info.num_color_channels == 1;
  const bool alpha = info.alpha_bits > 0;
  s->width = static_cast<int32_t>(width);
  s->height = static_cast<int32_t>(height);
  s->channels = (gray ? 1 : 3) + (alpha ? 1 : 0);
  s->wide = info.bits_per_sample > 8;
  s->reason = info.have_animation ? "animated JPEG XL" : "JPEG XL";
  layout->width = s->width;
  layout->height = s->height;
  layout->channels = s->channels;
  layout->space = gray ? StoredSpace::Gray : StoredSpace::RGB;
  layout->alphaChannel = alpha ? s->channels - 1 : -1;
  layout->decodedOrientation = orientation;
  layout->wholeReason = s->reason;
  return true;
}

bool JxlOpen(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  const QuietLibraryOutput quiet;
  *state = nullptr;
  *layout = StoredLayout();
  layout->format = "JPEG XL";
  std::string why;
  if (!LoadJxl(&why)) {
    SetImageError(error, *source, why);
    return false;
  }
  JxlState* s = new JxlState;
  s->source = source;
  auto fail = [&]() {
    JxlClose(s);
    return false;
  };
  s->data = AllocateImageMemory(*source, source->size, "the JPEG XL file", error);
  s->size = static_cast<size_t>(source->size);
  if (s->data == nullptr) return fail();
  if (!ReadSourceBytes(source, s->data, s->size)) {
    SetImageError(error, *source, "cannot be read");
    return fail();
  }
  s->memory = {s, JxlAllocate, JxlFree};
  if (!StartDecoder(s, error) || !DescribeLayout(s, layout, error)) return fail();
  if (s->info.have_animation) {
    CountFrames(s, layout);
    layout->loopCount = static_cast<int32_t>(s->info.animation.num_loops & 0x7FFFFFFF);
    s->composite = source->animation;
  }
  *state = s;
  return true;
}

// After the colour encoding is known: an image coded in libjxl's own
// colour space (XYB) with an ICC profile would come out in linear sRGB,
// which no reader of ours delivers: it is asked for in sRGB instead.
// Images with a described colour space come out in it, as stored.
void ChooseOutputColour(JxlState* s) {
  if (s->info.uses_original_profile) return;
  JxlColorEncoding encoding;
  if (gJxl->JxlDecoderGetColorAsEncodedProfile(s->decoder, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                         &encoding) == JXL_DEC_SUCCESS) {
    return;
  }
  gJxl->JxlColorEncodingSetToSRGB(&encoding, s->info.num_color_channels == 1 ? JXL_TRUE : JXL_FALSE);
  gJxl->JxlDecoderSetPreferredColorProfile(s->decoder, &encoding);
}

// Decodes on to frame source->frame (the first, or the one after the last
// out), into `pixels`.
bool Decode(JxlState* s, std::string* error) {
  const QuietLibraryOutput quiet;
  s->attempted = true;
  if (Interrupted(*s->source, error)) return false;
  const uint64_t pixels = static_cast<uint64_t>(s->width) * static_cast<uint64_t>(s->height);
  const uint64_t samples = pixels * static_cast<uint64_t>(s->channels);
  const uint64_t bytes = s->wide ? 2 * samples : samples;
  const JxlPixelFormat format = {static_cast<uint32_t>(s->channels),
                                 s->wide ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  if (s->source->frame > s->shown + 1) {
    gJxl->JxlDecoderSkipFrames(s->decoder, static_cast<size_t>(s->source->frame - s->shown - 1));
  }
  for (;;) {
    if (Interrupted(*s->source, error)) return false;
    const JxlDecoderStatus status = gJxl->JxlDecoderProcessInput(s->decoder);
    if (status == JXL_DEC_COLOR_ENCODING) {
      ChooseOutputColour(s);
    } else if (status == JXL_DEC_FRAME) {
      JxlFrameHeader header;
      if (gJxl->JxlDecoderGetFrameHeader(s->decoder, &header) == JXL_DEC_SUCCESS) {
        s->delay = TicksToMilliseconds(s->info, header.duration);
      }
    } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      if (s->pixels == nullptr) {
        // Taken once the frame header has been read (a file that ends before
        // it is only truncated), before any of its pixels are decoded.
        s->pixels = AllocateImageMemory(*s->source, bytes, s->reason, error);
        if (s->pixels == nullptr) return false;
        // libjxl's own buffers, measured with 0.7 on a 6000 x 4000 RGB image:
        // a lossless or VarDCT frame takes under 3 bytes a pixel, a lossy
        // modular one (squeezed) about 19, 6.3 a channel; 8 a channel is
        // charged, and twice that for an animation, whose frames libjxl
        // keeps for the frames after them to refer to.
        s->estimate = pixels * (uint64_t{s->info.num_color_channels} + s->info.num_extra_channels) *
                      (s->info.have_animation ? 16 : 8);
        if (!ChargeMemory(*s->source, s->estimate, s->reason, error)) {
          s->estimate = 0;
          return false;
        }
      }
      size_t needed = 0;
      if (gJxl->JxlDecoderImageOutBufferSize(s->decoder, &format, &needed) != JXL_DEC_SUCCESS ||
          needed != bytes ||
          gJxl->JxlDecoderSetImageOutBuffer(s->decoder, &format, s->pixels, static_cast<size_t>(bytes)) !=
              JXL_DEC_SUCCESS) {
        return JxlFailed(s, JXL_DEC_ERROR, "the frame header", error);
      }
    } else if (status == JXL_DEC_FULL_IMAGE) {
      s->shown = s->source->frame;
      break;
    } else if (status == JXL_DEC_SUCCESS) {
      SetImageError(error, *s->source, "corrupt JPEG XL data: the file has no frame");
      return false;
    } else {
      return JxlFailed(s, status, "the image data", error);
    }
  }
  if (s->wide) NarrowSamples(s->pixels, samples);
  s->ready = true;
  s->next = 0;
  if (s->composite) return !Interrupted(*s->source, error);
  // The decoder, the file and the estimate go; the image stays.
  gJxl->JxlDecoderDestroy(s->decoder);
  s->decoder = nullptr;
  std::free(s->data);
  s->data = nullptr;
  ReleaseMemory(*s->source, s->size + s->estimate);
  s->estimate = 0;
  if (s->wide) {
    if (void* smaller = std::realloc(s->pixels, static_cast<size_t>(samples))) {
      s->pixels = static_cast<uint8_t*>(smaller);
      ReleaseMemory(*s->source, samples);
    }
  }
  return !Interrupted(*s->source, error);
}

bool JxlReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  JxlState* s = static_cast<JxlState*>(state);
  if (!s->ready) {
    // A decode that failed is not tried again (its image is half made).
    if (s->attempted) {
      SetImageError(error, *s->source, "corrupt JPEG XL data: the image could not be decoded");
      return false;
    }
    if (!Decode(s, error)) return false;
  }
  const size_t stride = static_cast<size_t>(s->width) * static_cast<size_t>(s->channels);
  for (int32_t r = 0; r < count && s->next < s->height; ++r, ++s->next) {
    std::memcpy(rows[r], s->pixels + static_cast<size_t>(s->next) * stride, stride);
  }
  return true;
}

// Decodes on to frame source->frame, after the frames out so far; `delay`
// gets its delay.
bool DecodeOnward(JxlState* s, int32_t* delay, std::string* error) {
  if (s->attempted && !s->ready) {
    SetImageError(error, *s->source, "corrupt JPEG XL data: the image could not be decoded");
    return false;
  }
  s->ready = false;
  if (!Decode(s, error)) return false;
  *delay = s->delay;
  return true;
}

bool JxlNextFrame(void* state, int32_t* delay, std::string* error) {
  JxlState* s = static_cast<JxlState*>(state);
  s->next = 0;
  if (!s->composite) return true;  // a still image: it is its only frame
  if (s->ready && s->shown == s->source->frame) return true;
  return DecodeOnward(s, delay, error);
}

bool JxlRewind(void* state, int32_t* delay, std::string* error) {
  JxlState* s = static_cast<JxlState*>(state);
  s->next = 0;
  if (!s->composite || (s->ready && s->shown == s->source->frame)) return true;
  if (s->shown > s->source->frame) {
    // A frame before the one decoded: a new decoder, from the first.
    const QuietLibraryOutput quiet;
    gJxl->JxlDecoderDestroy(s->decoder);
    s->decoder = nullptr;
    s->shown = 0;
    s->ready = false;
    s->attempted = false;
    if (!StartDecoder(s, error)) return false;
  }
  return DecodeOnward(s, delay, error);
}

const ImageReader reader = {"JPEG XL", JxlOpen, JxlReadRows, JxlClose, JxlNextFrame, JxlRewind};

}  // namespace

const ImageReader* const kJxlReader = &reader;
