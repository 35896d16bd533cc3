// Recognising a file by its first bytes. Each format is known by the magic
// its files start with; formats this build does not read, and a few that
// nothing here reads, are still named, so that the message says what the
// file is rather than only what it is not.
#include "host/image/readers/Formats.h"

#include <cstring>
#include <string>

namespace {

bool StartsWith(const uint8_t* head, size_t n, const char* magic, size_t length) {
  return n >= length && std::memcmp(head, magic, length) == 0;
}

bool IsPnm(const uint8_t* head, size_t n) {
  return n >= 3 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7' &&
         (head[2] == ' ' || head[2] == '\t' || head[2] == '\n' || head[2] == '\r' ||
          head[2] == '#');
}

const ImageReader* const kPnmReaderPointer = &kPnmReader;

// ISO media files (HEIF, MP4, QuickTime) start with a box: a size, "ftyp",
// then the major brand.
bool IsIsoMedia(const uint8_t* p, size_t k) { return k >= 12 && std::memcmp(p + 4, "ftyp", 4) == 0; }

// The major brands of HEIF images (libheif judges by them too); other ISO
// media is video.
bool HasHeifBrand(const uint8_t* p, size_t k, const char* const* brands) {
  if (!IsIsoMedia(p, k)) return false;
  for (; *brands != nullptr; ++brands) {
    if (std::memcmp(p + 8, *brands, 4) == 0) return true;
  }
  return false;
}

// The format of a file by its first bytes; `name` is set for formats known
// but not read, with a null result, and `readable` says whether a build
// with the format's library reads them.
const ImageReader* DetectFormat(const uint8_t* h, size_t n, const char** name, bool* readable) {
  *name = nullptr;
  *readable = false;
  struct Known {
    const char* name;
    const ImageReader* const* reader;
    bool (*match)(const uint8_t*, size_t);
  };
  static const Known known[] = {
      {"JPEG", &kJpegReader,
       [](const uint8_t* p, size_t k) { return StartsWith(p, k, "\xFF\xD8\xFF", 3); }},
      {"PNG", &kPngReader,
       [](const uint8_t* p, size_t k) { return StartsWith(p, k, "\x89PNG\r\n\x1A\n", 8); }},
      {"TIFF", &kTiffReader,
       [](const uint8_t* p, size_t k) {
         return StartsWith(p, k, "II*\0", 4) || StartsWith(p, k, "MM\0*", 4) ||
                StartsWith(p, k, "II+\0", 4) || StartsWith(p, k, "MM\0+", 4);
       }},
      {"GIF", &kGifReader,
       [](const uint8_t* p, size_t k) {
         return StartsWith(p, k, "GIF87a", 6) || StartsWith(p, k, "GIF89a", 6);
       }},
      {"WebP", &kWebpReader,
       [](const uint8_t* p, size_t k) {
         return k >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "WEBP", 4) == 0;
       }},
      {"PNM", &kPnmReaderPointer, IsPnm},
      {"BMP", nullptr,
       [](const uint8_t* p, size_t k) {
         // "BM", then after the file header the size of a known DIB header.
         if (!StartsWith(p, k, "BM", 2) || k < 16 || p[15] != 0) return false;
         return p[14] == 12 || p[14] == 40 || p[14] == 52 || p[14] == 56 || p[14] == 64 ||
                p[14] == 108 || p[14] == 124;
       }},
      {"Photoshop (PSD)", nullptr, [](const uint8_t* p, size_t k) { return StartsWith(p, k, "8BPS", 4); }},
      {"JPEG 2000", nullptr,
       [](const uint8_t* p, size_t k) {
         return StartsWith(p, k, "\0\0\0\x0CjP  ", 8) || StartsWith(p, k, "\xFF\x4F\xFF\x51", 4);
       }},
      {"JPEG XL", &kJxlReader,
       [](const uint8_t* p, size_t k) {
         return StartsWith(p, k, "\xFF\x0A", 2) || StartsWith(p, k, "\0\0\0\x0CJXL \r\n\x87\n", 12);
       }},
      {"AVIF", &kHeifReader,
       [](const uint8_t* p, size_t k) {
         static const char* const brands[] = {"avif", "avis", nullptr};
         return HasHeifBrand(p, k, brands);
       }},
      {"HEIF", &kHeifReader,
       [](const uint8_t* p, size_t k) {
         static const char* const brands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm",
                                              "hevs", "mif1", "msf1", "mif2", "miaf", nullptr};
         return HasHeifBrand(p, k, brands);
       }},
      {"ISO media (MP4 or QuickTime)", nullptr, IsIsoMedia},
      {"PDF", nullptr, [](const uint8_t* p, size_t k) { return StartsWith(p, k, "%PDF", 4); }},
      {"ZIP archive", nullptr, [](const uint8_t* p, size_t k) { return StartsWith(p, k, "PK\3\4", 4); }},
      {"QOI", nullptr, [](const uint8_t* p, size_t k) { return StartsWith(p, k, "qoif", 4); }},
  };
  for (const Known& k : known) {
    if (!k.match(h, n)) continue;
    *name = k.name;
    *readable = k.reader != nullptr;
    return k.reader != nullptr ? *k.reader : nullptr;
  }
  return nullptr;
}

// The format a file's extension promises, for the message when its content
// is none we know.
const char* FormatByExtension(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return nullptr;
  std::string ext = path.substr(dot + 1);
  for (char& ch : ext) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  static const char* const table[][2] = {
      {"jpg", "JPEG"}, {"jpeg", "JPEG"}, {"jpe", "JPEG"}, {"jfif", "JPEG"},
      {"png", "PNG"},  {"tif", "TIFF"},  {"tiff", "TIFF"}, {"gif", "GIF"},
      {"webp", "WebP"}, {"pnm", "PNM"},  {"pbm", "PBM"},  {"pgm", "PGM"},
      {"ppm", "PPM"},  {"pam", "PAM"},   {"bmp", "BMP"},
      {"heic", "HEIC"}, {"heif", "HEIF"}, {"hif", "HEIF"}, {"avif", "AVIF"},
      {"jxl", "JPEG XL"},
  };
  for (const auto& entry : table) {
    if (ext == entry[0]) return entry[1];
  }
  return nullptr;
}

// "starts with "<htm"" or "starts with 00 01 fe ...".
std::string DescribeStart(const uint8_t* head, size_t n) {
  size_t shown = n < 8 ? n : 8;
  bool text = shown > 0;
  for (size_t i = 0; i < shown; ++i) {
    if (head[i] < 0x20 || head[i] > 0x7E) text = false;
  }
  std::string out = "it starts with ";
  if (text) {
    out += '"';
    out.append(reinterpret_cast<const char*>(head), shown);
    out += '"';
    return out;
  }
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) out += ' ';
    out += hex[head[i] >> 4];
    out += hex[head[i] & 15];
  }
  return out;
}

}  // namespace

std::string ReadableFormats() {
  std::string list;
  struct Entry {
    const ImageReader* reader;
    const char* name;
  };
  const Entry entries[] = {{kJpegReader, "JPEG"}, {kPngReader, "PNG"}, {kTiffReader, "TIFF"},
                           {kGifReader, "GIF"},   {kWebpReader, "WebP"},
                           {kHeifReader, "HEIF/HEIC, AVIF"}, {kJxlReader, "JPEG XL"}};
  for (const Entry& e : entries) {
    if (e.reader == nullptr) continue;
    list += e.name;
    list += ", ";
  }
  list += "PNM and PAM";
  return list;
}

const ImageReader* RecogniseFormat(const uint8_t* head, size_t got, const ImageSource& source,
                                   std::string* error) {
  const char* known = nullptr;
  bool readable = false;
  const ImageReader* reader = DetectFormat(head, got, &known, &readable);
  if (reader != nullptr) return reader;
  // "a JPEG", "an AVIF".
  auto article = [](const char* format) {
    return std::string(std::strchr("AEIOU", format[0]) != nullptr ? "an " : "a ") + format;
  };
  if (known != nullptr && readable) {
    SetImageError(error, source, article(known) + " file, and this build cannot read " + known +
                                     " (it reads " + ReadableFormats() + ")");
  } else if (known != nullptr) {
    SetImageError(error, source, article(known) + " file, which is not supported (readable formats: " +
                                     ReadableFormats() + ")");
  } else if (const char* promised = FormatByExtension(source.name)) {
    SetImageError(error, source, "not " + article(promised) + " file (" +
                                     DescribeStart(head, got) + ")");
  } else {
    SetImageError(error, source, "not an image file (" + DescribeStart(head, got) +
                                     "; readable formats: " + ReadableFormats() + ")");
  }
  return nullptr;
}
