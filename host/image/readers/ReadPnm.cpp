// Netpbm images: PBM, PGM and PPM, plain (ASCII) and raw, and PAM. Our own
// reader, the one every build has. Rows are read as they are asked for; the
// raw formats are checked against the file's size before any row is read.
// Going back to the top goes back to where the samples start.
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/image/readers/ImageReader.h"

namespace {

struct PnmState {
  ImageSource* source = nullptr;
  char kind = 0;             // '1'..'7'
  bool plain = false;        // ASCII samples
  bool bits = false;         // PBM: one bit a pixel, 1 = black
  bool invert = false;       // CMYK inks: 0 = none in the file
  int32_t width = 0;
  int32_t height = 0;
  int32_t depth = 0;         // samples a pixel
  uint32_t maxval = 0;
  off_t samplesAt = 0;       // where the samples start, after the header
  size_t rawBytes = 0;       // bytes of one row in the file (raw formats)
  uint8_t* raw = nullptr;    // a row as the file holds it, when it needs unpacking
  uint8_t table[256] = {};   // 8-bit samples scaled to 0..255
};

const char* FormatName(char kind) {
  switch (kind) {
    case '1': case '4': return "PBM";
    case '2': case '5': return "PGM";
    case '3': case '6': return "PPM";
    default: return "PAM";
  }
}

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Skips blanks and comments; returns the next character, not consumed.
int SkipBlanks(FILE* f) {
  for (;;) {
    int c = std::getc(f);
    if (c == '#') {
      while (c != '\n' && c != '\r' && c != EOF) c = std::getc(f);
      continue;
    }
    if (IsSpace(c)) continue;
    if (c != EOF) std::ungetc(c, f);
    return c;
  }
}

// A decimal number of the header or of a plain raster; false when there is
// none or it exceeds `limit`.
bool ReadNumber(FILE* f, uint32_t limit, uint32_t* value, bool* atEnd) {
  int c = SkipBlanks(f);
  *atEnd = c == EOF;
  if (c < '0' || c > '9') return false;
  uint64_t v = 0;
  while ((c = std::getc(f)) >= '0' && c <= '9') {
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > limit) return false;
  }
  if (c != EOF) std::ungetc(c, f);
  *value = static_cast<uint32_t>(v);
  return true;
}

bool HeaderError(PnmState* s, const std::string& what, std::string* error) {
  SetImageError(error, *s->source, std::string("corrupt ") + FormatName(s->kind) + " header: " + what);
  return false;
}

bool ReadClassicHeader(PnmState* s, std::string* error) {
  FILE* f = s->source->file;
  uint32_t w = 0, h = 0, maxval = 1;
  bool end = false;
  const uint32_t sideLimit = 999999999;
  if (!ReadNumber(f, sideLimit, &w, &end) || !ReadNumber(f, sideLimit, &h, &end)) {
    if (end) {
      SetImageError(error, *s->source, TruncatedMessage(FormatName(s->kind)));
      return false;
    }
    return HeaderError(s, "no width and height", error);
  }
  if (s->kind != '1' && s->kind != '4' && !ReadNumber(f, 999999, &maxval, &end)) {
    if (end) {
      SetImageError(error, *s->source, TruncatedMessage(FormatName(s->kind)));
      return false;
    }
    return HeaderError(s, "no maximum sample value", error);
  }
  // Exactly one blank separates the header from a raw raster.
  int c = std::getc(f);
  if (c != EOF && !IsSpace(c)) return HeaderError(s, "no blank after the header", error);
  s->width = static_cast<int32_t>(w < 0x7fffffffu ? w : 0x7fffffffu);
  s->height = static_cast<int32_t>(h < 0x7fffffffu ? h : 0x7fffffffu);
  s->maxval = maxval;
  s->depth = s->kind == '3' || s->kind == '6' ? 3 : 1;
  s->bits = s->kind == '1' || s->kind == '4';
  s->plain = s->kind <= '3';
  return true;
}

// The fields of a PAM header, as given; -1 for those it lacks.
struct PamFields {
  int64_t width = -1, height = -1, depth = -1, maxval = -1;
  std::string tupleType;  // every TUPLTYPE line's, joined by blanks
};

// Reads the header's lines up to ENDHDR.
bool ReadPamFields(PnmState* s, PamFields* fields, std::string* error) {
  FILE* f = s->source->file;
  size_t headerBytes = 0;
  for (;;) {
    std::string line;
    int c;
    while ((c = std::getc(f)) != EOF && c != '\n') {
      if (++headerBytes > 65536) return HeaderError(s, "header too long", error);
      line += static_cast<char>(c);
    }
    if (c == EOF && line.empty()) {
      SetImageError(error, *s->source, "truncated PAM file: the header has no ENDHDR");
      return false;
    }
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    size_t keyEnd = line.find_first_of(" \t\r", start);
    std::string key = line.substr(start, keyEnd == std::string::npos ? std::string::npos : keyEnd - start);
    std::string value;
    if (keyEnd != std::string::npos) {
      size_t v = line.find_first_not_of(" \t\r", keyEnd);
      size_t e = line.find_last_not_of(" \t\r");
      if (v != std::string::npos) value = line.substr(v, e - v + 1);
    }
    if (key == "ENDHDR") return true;
    if (key == "TUPLTYPE") {
      if (!fields->tupleType.empty()) fields->tupleType += ' ';
      fields->tupleType += value;
      continue;
    }
    int64_t* field = key == "WIDTH" ? &fields->width : key == "HEIGHT" ? &fields->height
                   : key == "DEPTH" ? &fields->depth : key == "MAXVAL" ? &fields->maxval : nullptr;
    if (field == nullptr) return HeaderError(s, "unknown field \"" + key + "\"", error);
    if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos) {
      return HeaderError(s, key + " is not a number", error);
    }
    *field = std::atol(value.c_str());
  }
}

// The colour meaning of `depth` channels: from the tuple type, or by their
// number.
bool ChooseSpace(PnmState* s, const std::string& tupleType, int64_t depth, StoredLayout* layout,
                 std::string* error) {
  struct Tuple {
    const char* name;
    StoredSpace space;
    int colour;
    bool alpha;
  };
  static const Tuple tuples[] = {
      {"BLACKANDWHITE", StoredSpace::Gray, 1, false},
      {"GRAYSCALE", StoredSpace::Gray, 1, false},
      {"RGB", StoredSpace::RGB, 3, false},
      {"CMYK", StoredSpace::CMYK, 4, false},
      {"BLACKANDWHITE_ALPHA", StoredSpace::Gray, 1, true},
      {"GRAYSCALE_ALPHA", StoredSpace::Gray, 1, true},
      {"RGB_ALPHA", StoredSpace::RGB, 3, true},
      {"CMYK_ALPHA", StoredSpace::CMYK, 4, true},
  };
  const Tuple* tuple = nullptr;
  for (const Tuple& t : tuples) {
    if (tupleType == t.name) tuple = &t;
  }
  if (tuple != nullptr) {
    int needed = tuple->colour + (tuple->alpha ? 1 : 0);
    if (depth < needed) {
      return HeaderError(s, "TUPLTYPE " + tupleType + " needs DEPTH " + std::to_string(needed) +
                                " or more, not " + std::to_string(depth), error);
    }
    layout->space = tuple->space;
    layout->alphaChannel = tuple->alpha ? tuple->colour : -1;
    layout->bilevel = tupleType.compare(0, 13, "BLACKANDWHITE") == 0;
  } else {
    static const StoredSpace byDepth[] = {StoredSpace::Gray, StoredSpace::Gray, StoredSpace::RGB,
                                          StoredSpace::RGB};
    layout->space = depth <= 4 ? byDepth[depth - 1] : StoredSpace::Unknown;
    layout->alphaChannel = depth == 2 ? 1 : depth == 4 ? 3 : -1;
  }
  return true;
}

bool ReadPamHeader(PnmState* s, StoredLayout* layout, std::string* error) {
  PamFields p;
  if (!ReadPamFields(s, &p, error)) return false;
  if (p.width < 0 || p.height < 0 || p.depth < 0 || p.maxval < 0) {
    return HeaderError(s, "WIDTH, HEIGHT, DEPTH and MAXVAL are required", error);
  }
  s->width = static_cast<int32_t>(p.width);
  s->height = static_cast<int32_t>(p.height);
  s->depth = static_cast<int32_t>(p.depth);
  s->maxval = static_cast<uint32_t>(p.maxval);
  if (p.depth < 1 || p.depth > 255) {
    return HeaderError(s, "DEPTH " + std::to_string(p.depth) + " outside 1..255", error);
  }
  if (!ChooseSpace(s, p.tupleType, p.depth, layout, error)) return false;
  s->invert = layout->space == StoredSpace::CMYK;
  return true;
}

bool RowError(PnmState* s, const std::string& what, std::string* error) {
  SetImageError(error, *s->source, std::string("corrupt ") + FormatName(s->kind) + " data: " + what);
  return false;
}

bool SampleTooLarge(PnmState* s, uint32_t v, std::string* error) {
  return RowError(s, "sample " + std::to_string(v) + " exceeds the maximum value " +
                         std::to_string(s->maxval) + " of the header", error);
}

uint8_t Scale(uint32_t v, uint32_t maxval) {
  return static_cast<uint8_t>((static_cast<uint64_t>(v) * 255 + maxval / 2) / maxval);
}

bool ReadPlainRow(PnmState* s, uint8_t* out, std::string* error) {
  FILE* f = s->source->file;
  const size_t samples = static_cast<size_t>(s->width) * static_cast<size_t>(s->depth);
  for (size_t i = 0; i < samples; ++i) {
    uint32_t v = 0;
    bool end = false;
    if (s->bits) {
      // Plain PBM digits need no blanks between them.
      int c = SkipBlanks(f);
      if (c == EOF) {
        SetImageError(error, *s->source, TruncatedMessage("PBM"));
        return false;
      }
      std::getc(f);
      if (c != '0' && c != '1') return RowError(s, "a pixel that is neither 0 nor 1", error);
      out[i] = c == '1' ? 0 : 255;
      continue;
    }
    if (!ReadNumber(f, 65535, &v, &end)) {
      if (end) {
        SetImageError(error, *s->source, TruncatedMessage(FormatName(s->kind)));
        return false;
      }
      return RowError(s, "a sample that is not a number from 0 to 65535", error);
    }
    if (v > s->maxval) return SampleTooLarge(s, v, error);
    out[i] = Scale(v, s->maxval);
  }
  return true;
}

bool ReadRawRow(PnmState* s, uint8_t* out, std::string* error) {
  const size_t samples = static_cast<size_t>(s->width) * static_cast<size_t>(s->depth);
  uint8_t* in = s->raw != nullptr ? s->raw : out;
  if (!ReadSourceBytes(s->source, in, s->rawBytes)) {
    SetImageError(error, *s->source, TruncatedMessage(FormatName(s->kind)));
    return false;
  }
  if (s->bits) {
    for (int32_t x = 0; x < s->width; ++x) {
      out[x] = (in[x >> 3] & (0x80 >> (x & 7))) != 0 ? 0 : 255;
    }
    return true;
  }
  if (s->maxval > 255) {
    for (size_t i = 0; i < samples; ++i) {
      uint32_t v = static_cast<uint32_t>(in[2 * i] << 8 | in[2 * i + 1]);
      if (v > s->maxval) return SampleTooLarge(s, v, error);
      out[i] = Scale(v, s->maxval);
    }
    return true;
  }
  if (s->maxval != 255) {
    for (size_t i = 0; i < samples; ++i) {
      if (in[i] > s->maxval) return SampleTooLarge(s, in[i], error);
      out[i] = s->table[in[i]];
    }
  }
  return true;
}

void PnmClose(void* state) {
  PnmState* s = static_cast<PnmState*>(state);
  std::free(s->raw);
  delete s;
}

bool PnmOpenState(PnmState* s, StoredLayout* layout, std::string* error) {
  FILE* f = s->source->file;
  char magic[3] = {};
  if (std::fread(magic, 1, 2, f) != 2 || magic[0] != 'P' || magic[1] < '1' || magic[1] > '7') {
    SetImageError(error, *s->source, "not a PNM or PAM file");
    return false;
  }
  s->kind = magic[1];
  layout->space = StoredSpace::Gray;
  if (s->kind == '7') {
    if (!ReadPamHeader(s, layout, error)) return false;
  } else {
    if (!ReadClassicHeader(s, error)) return false;
    layout->space = s->depth == 3 ? StoredSpace::RGB : StoredSpace::Gray;
    layout->bilevel = s->bits;
  }
  layout->format = s->kind == '7' ? "PAM" : "PNM";
  if (!CheckImageSize(*s->source, s->width, s->height, error)) return false;
  if (s->maxval < 1 || s->maxval > 65535) {
    return HeaderError(s, "maximum sample value " + std::to_string(s->maxval) + " outside 1..65535", error);
  }
  if (s->bits) s->maxval = 1;
  for (uint32_t v = 0; v <= 255 && v <= s->maxval; ++v) s->table[v] = Scale(v, s->maxval);

  // Everything the header promises must be in the file.
  const uint64_t pixels = static_cast<uint64_t>(s->width) * static_cast<uint64_t>(s->height);
  const uint64_t samples = pixels * static_cast<uint64_t>(s->depth);
  off_t here = ftello(f);
  s->samplesAt = here;
  const uint64_t left = here >= 0 && static_cast<uint64_t>(here) <= s->source->size
                            ? s->source->size - static_cast<uint64_t>(here) : 0;
  uint64_t needed = samples;  // plain: a character a sample at least
  if (!s->plain) {
    s->rawBytes = s->bits ? (static_cast<size_t>(s->width) + 7) / 8
                          : static_cast<size_t>(s->width) * static_cast<size_t>(s->depth) *
                                (s->maxval > 255 ? 2u : 1u);
    needed = static_cast<uint64_t>(s->rawBytes) * static_cast<uint64_t>(s->height);
  }
  if (needed > left) {
    SetImageError(error, *s->source,
                  TruncatedMessage(FormatName(s->kind)) + " (the header declares " +
                      std::to_string(s->width) + " x " + std::to_string(s->height) + " pixels, " +
                      std::to_string(needed) + (needed == 1 ? " byte" : " bytes") + (s->plain ? " at least" : "") +
                      ", and " + std::to_string(left) + " follow it)");
    return false;
  }
  if (!s->plain && (s->bits || s->maxval > 255)) {
    s->raw = static_cast<uint8_t*>(std::malloc(s->rawBytes));
    if (s->raw == nullptr) {
      SetImageError(error, *s->source, "out of memory");
      return false;
    }
  }
  layout->width = s->width;
  layout->height = s->height;
  layout->channels = s->depth;
  return true;
}

bool PnmOpen(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  *state = nullptr;
  PnmState* s = new PnmState;
  s->source = source;
  *layout = StoredLayout();
  if (!PnmOpenState(s, layout, error)) {
    PnmClose(s);
    return false;
  }
  *state = s;
  return true;
}

bool PnmReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  PnmState* s = static_cast<PnmState*>(state);
  const size_t samples = static_cast<size_t>(s->width) * static_cast<size_t>(s->depth);
  for (int32_t r = 0; r < count; ++r) {
    uint8_t* out = rows[r];
    if (!(s->plain ? ReadPlainRow(s, out, error) : ReadRawRow(s, out, error))) return false;
    if (s->invert) {
      // Inks as the host has them: 255 = none. Only the colour channels.
      for (size_t i = 0; i < samples; i += static_cast<size_t>(s->depth)) {
        for (size_t k = 0; k < 4; ++k) out[i + k] = static_cast<uint8_t>(255 - out[i + k]);
      }
    }
  }
  return true;
}

bool PnmRewind(void* state, int32_t*, std::string* error) {
  PnmState* s = static_cast<PnmState*>(state);
  if (fseeko(s->source->file, s->samplesAt, SEEK_SET) != 0) {
    SetImageError(error, *s->source, "cannot go back to the start of the file");
    return false;
  }
  return true;
}

}  // namespace

const ImageReader kPnmReader = {"PNM", PnmOpen, PnmReadRows, PnmClose, nullptr, PnmRewind};
