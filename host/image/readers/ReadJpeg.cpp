// JPEG through libjpeg(-turbo). Baseline files are decoded a few rows at a
// time straight into the caller's rows; files with several scans
// (progressive ones) are held whole by libjpeg itself.
//
// libjpeg reports errors through error_exit, which must not return: it
// longjmps back to the setjmp of the call in progress, so the functions
// that call libjpeg keep no C++ objects alive across those calls. Data
// errors that libjpeg calls warnings (a bad Huffman code, a marker in the
// middle of the data) stop decoding too: they mean damaged pixels. The end
// of the file in the middle of the data is an error, not the grey fill
// libjpeg would insert.
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

#include <jpeglib.h>
#include <jerror.h>

#include "host/image/budget/MemoryBudget.h"
#include "host/image/readers/Exif.h"
#include "host/image/readers/ImageReader.h"

namespace {

// Encoders write about ten scans (libjpeg's progressive script: 10 for
// YCbCr, 6 for grey, 18 for CMYK; mozjpeg's optimised ones 8 to 12), and
// every scan is a pass over the whole image's coefficients: hundreds of
// scans make a small file take minutes.
constexpr int kMaxScans = 40;
// Codes of our own for the error we longjmp with.
constexpr int kCodeTooManyScans = -1;
constexpr int kCodeInterrupted = -2;

struct JpegErrors {
  jpeg_error_mgr manager;  // first, so that libjpeg's pointer is ours
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  int code;
};

struct JpegState {
  jpeg_decompress_struct info;
  JpegErrors errors;
  jpeg_source_mgr input;
  jpeg_progress_mgr progress;
  ImageSource* source;
  uint64_t coefficientBytes;  // charged for a file with several scans
  bool created;
  bool started;
  bool invert;  // plain CMYK: inks as the host has them (255 = none)
  JOCTET buffer[65536];
};

JpegState* StateOf(j_common_ptr info) {
  // The decompressor is the first member of the state.
  return reinterpret_cast<JpegState*>(info);
}

void ErrorExit(j_common_ptr info) {
  JpegErrors* e = &StateOf(info)->errors;
  e->code = e->manager.msg_code;
  (*e->manager.format_message)(info, e->message);
  std::longjmp(e->jump, 1);
}

void EmitMessage(j_common_ptr info, int level) {
  if (level >= 0) return;  // trace messages
  switch (info->err->msg_code) {
    case JWRN_ARITH_BAD_CODE:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
      ErrorExit(info);
      break;
    default:
      info->err->num_warnings++;
      break;
  }
}

void InitSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr info) {
  JpegState* s = StateOf(reinterpret_cast<j_common_ptr>(info));
  size_t got = std::fread(s->buffer, 1, sizeof s->buffer, s->source->file);
  if (got == 0) {
    info->err->msg_code = JERR_INPUT_EOF;
    ErrorExit(reinterpret_cast<j_common_ptr>(info));
  }
  s->input.next_input_byte = s->buffer;
  s->input.bytes_in_buffer = got;
  return TRUE;
}

void SkipInput(j_decompress_ptr info, long count) {
  jpeg_source_mgr* in = info->src;
  if (count <= 0) return;
  size_t left = static_cast<size_t>(count);
  while (left > in->bytes_in_buffer) {
    left -= in->bytes_in_buffer;
    in->bytes_in_buffer = 0;
    FillInput(info);
  }
  in->next_input_byte += left;
  in->bytes_in_buffer -= left;
}

void TermSource(j_decompress_ptr) {}

// Called for every row of every pass, and while a file with several scans
// is being absorbed, for every row of blocks of every scan.
void Progress(j_common_ptr info) {
  j_decompress_ptr d = reinterpret_cast<j_decompress_ptr>(info);
  JpegState* s = StateOf(info);
  JpegErrors* e = &s->errors;
  if (CancelRequested(*s->source)) {
    e->code = kCodeInterrupted;
    std::longjmp(e->jump, 1);
  }
  if (d->input_scan_number > kMaxScans) {
    e->code = kCodeTooManyScans;
    std::snprintf(e->message, sizeof e->message, "more than %d", kMaxScans);
    std::longjmp(e->jump, 1);
  }
}

std::string TooManyScans(const char* count) {
  return std::string("a JPEG file with ") + count + " scans, more than the " +
         std::to_string(kMaxScans) +
         " this reader decodes (encoders write about 10; every scan is another pass over the "
         "whole image)";
}

// Counts the scans (SOS markers) of the file, walking the marker segments
// and skipping the entropy-coded data after each SOS; the file position is
// kept. -1 when the file cannot be walked (libjpeg will say why).
int CountScans(ImageSource* source) {
  FILE* f = source->file;
  const off_t at = ftello(f);
  if (at < 0 || fseeko(f, 0, SEEK_SET) != 0) return -1;
  int scans = 0;
  bool ok = getc(f) == 0xFF && getc(f) == 0xD8;
  while (ok) {
    int c = getc(f);
    if (c != 0xFF) break;
    int marker = getc(f);
    while (marker == 0xFF) marker = getc(f);  // fill bytes
    if (marker == EOF || marker == 0xD9) break;
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    int hi = getc(f), lo = getc(f);
    if (hi == EOF || lo == EOF || (hi << 8 | lo) < 2) break;
    if (fseeko(f, (hi << 8 | lo) - 2, SEEK_CUR) != 0) break;
    if (marker != 0xDA) continue;
    ++scans;
    // Entropy-coded data: up to a marker that is neither a stuffed 0xFF
    // nor a restart marker; step back onto it.
    for (;;) {
      c = getc(f);
      if (c == EOF) break;
      if (c != 0xFF) continue;
      int next = getc(f);
      while (next == 0xFF) next = getc(f);
      if (next == 0 || (next >= 0xD0 && next <= 0xD7)) continue;
      if (next == EOF || fseeko(f, -2, SEEK_CUR) != 0) ok = false;
      break;
    }
    if (c == EOF) break;
  }
  clearerr(f);
  return fseeko(f, at, SEEK_SET) == 0 ? scans : -1;
}

// The user's message for what libjpeg stopped with.
void ReportError(const JpegState* s, std::string* error) {
  const JpegErrors& e = s->errors;
  if (e.code == kCodeInterrupted) {
    SetImageError(error, *s->source, "interrupted");
  } else if (e.code == kCodeTooManyScans) {
    SetImageError(error, *s->source, TooManyScans(e.message));
  } else if (e.code == JERR_INPUT_EOF) {
    SetImageError(error, *s->source, TruncatedMessage("JPEG"));
  } else if (e.code == JERR_EMPTY_IMAGE) {
    SetImageError(error, *s->source, "empty image: the JPEG header declares no pixels");
  } else if (e.code == JERR_NO_BACKING_STORE) {
    // libjpeg's own count of its memory went past what was left of the
    // budget (it has no backing store to fall back on).
    SetImageError(error, *s->source,
                  MemoryLimitMessage(*s->source, 0, s->info.progressive_mode ? "progressive JPEG" : "JPEG with several scans"));
  } else if (e.code == JERR_OUT_OF_MEMORY) {
    SetImageError(error, *s->source, OutOfMemoryMessage(s->coefficientBytes, "JPEG with several scans"));
  } else if (e.code == JERR_BAD_PRECISION || e.code == JERR_NOT_COMPILED ||
             e.code == JERR_COMPONENT_COUNT || e.code == JERR_CCIR601_NOTIMPL) {
    SetImageError(error, *s->source, std::string("unsupported JPEG file: ") + e.message);
  } else {
    // libjpeg's warnings begin with the words we begin with.
    const char* text = e.message;
    const char prefix[] = "Corrupt JPEG data: ";
    if (std::strncmp(text, prefix, sizeof prefix - 1) == 0) text += sizeof prefix - 1;
    SetImageError(error, *s->source, std::string("corrupt JPEG data: ") + text);
  }
}

// Reads the header; false with libjpeg's error in s->errors, or with
// `refusal` set for a file libjpeg reads but we cannot deliver.
bool ReadHeader(JpegState* s, StoredLayout* layout, const char** refusal) {
  if (setjmp(s->errors.jump) != 0) return false;
  jpeg_decompress_struct* d = &s->info;
  jpeg_create_decompress(d);
  s->created = true;
  d->src = &s->input;
  d->progress = &s->progress;
  jpeg_save_markers(d, JPEG_APP0 + 1, 0xFFFF);
  if (jpeg_read_header(d, TRUE) != JPEG_HEADER_OK) {
    *refusal = "a JPEG file with tables but no image";
    return false;
  }
  layout->width = static_cast<int32_t>(d->image_width);
  layout->height = static_cast<int32_t>(d->image_height);
  switch (d->jpeg_color_space) {
    case JCS_GRAYSCALE:
      d->out_color_space = JCS_GRAYSCALE;
      layout->space = StoredSpace::Gray;
      layout->channels = 1;
      break;
    case JCS_YCbCr:
      // For grey, the luma the file stores is the grey: taking it as it is
      // skips the colour conversion and the chroma altogether.
      if (s->source->wantsGray) {
        d->out_color_space = JCS_GRAYSCALE;
        layout->space = StoredSpace::Gray;
        layout->channels = 1;
        break;
      }
      d->out_color_space = JCS_RGB;
      layout->space = StoredSpace::RGB;
      layout->channels = 3;
      break;
    case JCS_RGB:
      d->out_color_space = JCS_RGB;
      layout->space = StoredSpace::RGB;
      layout->channels = 3;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      d->out_color_space = JCS_CMYK;
      layout->space = StoredSpace::CMYK;
      layout->channels = 4;
      // Adobe's files hold inverted inks, which is the host's convention.
      s->invert = !d->saw_Adobe_marker;
      break;
    default:
      d->out_color_space = JCS_UNKNOWN;
      layout->space = StoredSpace::Unknown;
      layout->channels = d->num_components;
      break;
  }
  if (s->source->scaleDenominator > 1) {
    d->scale_num = 1;
    d->scale_denom = static_cast<unsigned int>(s->source->scaleDenominator);
    jpeg_calc_output_dimensions(d);
    layout->width = static_cast<int32_t>(d->output_width);
    layout->height = static_cast<int32_t>(d->output_height);
  }
  if (jpeg_has_multiple_scans(d)) {
    layout->wholeReason = d->progressive_mode ? "progressive JPEG" : "JPEG with several scans";
  }
  for (jpeg_saved_marker_ptr m = d->marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 && std::memcmp(m->data, "Exif\0\0", 6) == 0) {
      layout->orientation = ExifOrientation(m->data, m->data_length);
      break;
    }
  }
  return true;
}

// A file with several scans keeps every coefficient of the image until the
// last scan: 64 two-byte coefficients a block, blocks padded to whole MCUs;
// and libjpeg counts its working buffers against the same limit.
uint64_t CoefficientBytes(const jpeg_decompress_struct& d) {
  uint64_t total = 0;
  for (int c = 0; c < d.num_components; ++c) {
    const jpeg_component_info& comp = d.comp_info[c];
    const uint64_t h = static_cast<uint64_t>(comp.h_samp_factor > 0 ? comp.h_samp_factor : 1);
    const uint64_t v = static_cast<uint64_t>(comp.v_samp_factor > 0 ? comp.v_samp_factor : 1);
    const uint64_t across = (comp.width_in_blocks + h - 1) / h * h;
    const uint64_t down = (comp.height_in_blocks + v - 1) / v * v;
    total += across * down * DCTSIZE2 * sizeof(JCOEF);
  }
  // libjpeg's working buffers: a few rows of blocks and samples of every
  // component, tables.
  return total + static_cast<uint64_t>(d.image_width) * static_cast<uint64_t>(d.num_components) * 64 + (128 << 10);
}

bool Start(JpegState* s) {
  if (setjmp(s->errors.jump) != 0) return false;
  jpeg_start_decompress(&s->info);
  s->started = true;
  return true;
}

// Reads `count` rows; false with the error in s->errors.
bool ReadScanlines(JpegState* s, uint8_t* const* rows, int32_t count) {
  if (setjmp(s->errors.jump) != 0) return false;
  int32_t done = 0;
  while (done < count) {
    JDIMENSION got = jpeg_read_scanlines(&s->info, const_cast<JSAMPARRAY>(rows + done),
                                         static_cast<JDIMENSION>(count - done));
    if (got == 0) {
      // Only a suspending source returns nothing; ours never suspends.
      s->errors.code = JERR_INPUT_EOF;
      return false;
    }
    done += static_cast<int32_t>(got);
  }
  return true;
}

void JpegClose(void* state) {
  JpegState* s = static_cast<JpegState*>(state);
  if (s->created) jpeg_destroy_decompress(&s->info);
  delete s;
}

bool JpegOpen(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  *state = nullptr;
  *layout = StoredLayout();
  layout->format = "JPEG";
  JpegState* s = new JpegState;
  std::memset(static_cast<void*>(s), 0, sizeof *s);
  s->source = source;
  s->info.err = jpeg_std_error(&s->errors.manager);
  s->errors.manager.error_exit = ErrorExit;
  s->errors.manager.emit_message = EmitMessage;
  s->input.init_source = InitSource;
  s->input.fill_input_buffer = FillInput;
  s->input.skip_input_data = SkipInput;
  s->input.resync_to_restart = jpeg_resync_to_restart;
  s->input.term_source = TermSource;
  s->progress.progress_monitor = Progress;
  const char* refusal = nullptr;
  if (!ReadHeader(s, layout, &refusal)) {
    if (refusal != nullptr) {
      SetImageError(error, *source, refusal);
    } else {
      ReportError(s, error);
    }
    JpegClose(s);
    return false;
  }
  if (!CheckImageSize(*source, layout->width, layout->height, error)) {
    JpegClose(s);
    return false;
  }
  if (jpeg_has_multiple_scans(&s->info)) {
    const int scans = CountScans(source);
    if (scans > kMaxScans) {
      SetImageError(error, *source, TooManyScans(std::to_string(scans).c_str()));
      JpegClose(s);
      return false;
    }
  }
  *state = s;
  return true;
}

bool JpegReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  JpegState* s = static_cast<JpegState*>(state);
  if (!s->started) {
    if (jpeg_has_multiple_scans(&s->info)) {
      // Charged before libjpeg takes it, so that the refusal names the
      // size; libjpeg then counts its own memory within what is left.
      const uint64_t before = MemoryLeft(*s->source);
      s->coefficientBytes = CoefficientBytes(s->info);
      const char* what = s->info.progressive_mode ? "progressive JPEG" : "JPEG with several scans";
      if (!ChargeMemory(*s->source, s->coefficientBytes, what, error)) return false;
      if (s->source->memoryLimit != 0) {
        const uint64_t most = static_cast<uint64_t>(LONG_MAX);
        s->info.mem->max_memory_to_use = static_cast<long>(before < most ? (before > 0 ? before : 1) : most);
      }
    }
    if (!Start(s)) {
      ReportError(s, error);
      return false;
    }
  }
  if (!ReadScanlines(s, rows, count)) {
    ReportError(s, error);
    return false;
  }
  if (s->invert) {
    const size_t bytes = static_cast<size_t>(s->info.output_width) * 4;
    for (int32_t r = 0; r < count; ++r) {
      for (size_t i = 0; i < bytes; ++i) rows[r][i] = static_cast<uint8_t>(255 - rows[r][i]);
    }
  }
  return true;
}

const ImageReader reader = {"JPEG", JpegOpen, JpegReadRows, JpegClose};

}  // namespace

const ImageReader* const kJpegReader = &reader;
