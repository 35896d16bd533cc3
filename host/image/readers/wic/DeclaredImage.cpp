#include "host/image/readers/wic/DeclaredImage.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "host/image/input/SizeArithmetic.h"
#include "host/image/readers/Exif.h"

namespace {

// A progressive JPEG is decoded again for every scan: files with hundreds of
// tiny scans cost minutes. The Linux reader refuses the same.
constexpr int32_t kMostScans = 40;

uint32_t Big32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint32_t Big16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t Little16(const uint8_t* p) { return static_cast<uint32_t>(p[1]) << 8 | p[0]; }

uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

bool Png(ImageSource* source, DeclaredImage* d, std::string* error) {
  uint8_t h[33];
  if (!ReadSourceBytes(source, h, sizeof h) || std::memcmp(h + 12, "IHDR", 4) != 0 || Big32(h + 8) != 13) {
    return true;
  }
  // WIC's decoders do not all check it; the Linux reader does.
  if (Crc32(h + 12, 17) != Big32(h + 29)) {
    SetImageError(error, *source, "corrupt PNG data: IHDR: CRC error");
    return false;
  }
  d->found = true;
  d->width = Big32(h + 16);
  d->height = Big32(h + 20);
  const uint32_t depth = h[24], colour = h[25];
  d->pngColourType = static_cast<int32_t>(colour);
  const uint32_t channels = colour == 2 ? 3 : colour == 4 ? 2 : colour == 6 ? 4 : 1;
  const uint64_t rowBits = static_cast<uint64_t>(d->width) * channels * (depth > 16 ? 16 : depth);
  if (!CheckedProduct((rowBits + 7) / 8, static_cast<uint64_t>(d->height), &d->bytes)) d->bytes = UINT64_MAX;
  // The chunks before the image data, for a grey tRNS and an eXIf (as
  // libpng reads them).
  for (;;) {
    uint8_t chunk[8];
    if (!ReadSourceBytes(source, chunk, 8) || std::memcmp(chunk + 4, "IDAT", 4) == 0 ||
        std::memcmp(chunk + 4, "IEND", 4) == 0) {
      break;
    }
    const uint32_t size = Big32(chunk);
    if (std::memcmp(chunk + 4, "tRNS", 4) == 0 && colour == 0 && size == 2) {
      uint8_t key[2];
      if (!ReadSourceBytes(source, key, 2)) break;
      d->pngGreyKey = static_cast<int32_t>(Big16(key));
      if (fseeko64(source->file, 4, SEEK_CUR) != 0) break;
      continue;
    }
    if (std::memcmp(chunk + 4, "eXIf", 4) == 0 && size <= (1u << 20)) {
      std::vector<uint8_t> exif(size);
      if (size > 0 && ReadSourceBytes(source, exif.data(), size)) d->orientation = ExifOrientation(exif.data(), size);
      break;
    }
    if (fseeko64(source->file, static_cast<long long>(size) + 4, SEEK_CUR) != 0) break;
  }
  return true;
}

bool Gif(ImageSource* source, DeclaredImage* d) {
  uint8_t h[10];
  if (!ReadSourceBytes(source, h, sizeof h)) return true;
  d->found = true;
  d->width = Little16(h + 6);
  d->height = Little16(h + 8);
  d->bytes = static_cast<uint64_t>(d->width) * static_cast<uint64_t>(d->height);
  return true;
}

// Bytes of the file through a buffer of its own (a JPEG's scans are walked
// byte by byte).
class ByteReader {
 public:
  explicit ByteReader(FILE* file) : file_(file) {}
  int Get() {
    if (at_ == end_ && !Fill()) return EOF;
    return buffer_[at_++];
  }
  bool Read(uint8_t* out, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      int c = Get();
      if (c == EOF) return false;
      out[i] = static_cast<uint8_t>(c);
    }
    return true;
  }
  bool Skip(uint64_t size) {
    const uint64_t here = end_ - at_;
    if (size <= here) {
      at_ += static_cast<size_t>(size);
      return true;
    }
    at_ = end_ = 0;
    return fseeko64(file_, static_cast<long long>(size - here), SEEK_CUR) == 0;
  }

 private:
  bool Fill() {
    at_ = 0;
    end_ = std::fread(buffer_, 1, sizeof buffer_, file_);
    return end_ > 0;
  }
  FILE* file_;
  uint8_t buffer_[16384];
  size_t at_ = 0;
  size_t end_ = 0;
};

// Walks the segments: the first frame header gives the size, every start
// of scan counts; entropy-coded data runs to the next marker that is not a
// stuffed byte or a restart.
bool Jpeg(ImageSource* source, DeclaredImage* d, std::string* error) {
  ByteReader in(source->file);
  if (in.Get() != 0xFF || in.Get() != 0xD8) return true;
  int marker = -1;  // read already, at the end of a scan
  bool exif = false;  // the first Exif block is the one that counts
  for (;;) {
    int c = marker;
    marker = -1;
    if (c < 0) {
      c = in.Get();
      while (c != EOF && c != 0xFF) c = in.Get();
      while (c == 0xFF) c = in.Get();
    }
    if (c == EOF || c == 0xD9) break;
    if (c == 0x01 || (c >= 0xD0 && c <= 0xD7)) continue;
    uint8_t length[2];
    if (!in.Read(length, 2) || Big16(length) < 2) break;
    uint32_t size = Big16(length) - 2;
    const bool frame = c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC;
    if (frame && !d->found) {
      uint8_t sof[6];
      if (size < 6 || !in.Read(sof, 6)) break;
      d->found = true;
      d->height = Big16(sof + 1);
      d->width = Big16(sof + 3);
      d->bytes = static_cast<uint64_t>(d->width) * static_cast<uint64_t>(d->height) * sof[5];
      size -= 6;
    }
    if (c == 0xE1 && size >= 6 && !exif) {
      std::vector<uint8_t> app1(size);
      if (!in.Read(app1.data(), size)) break;
      if (std::memcmp(app1.data(), "Exif\0\0", 6) == 0) {
        exif = true;
        d->orientation = ExifOrientation(app1.data(), size);
      }
      continue;
    }
    if (!in.Skip(size)) break;
    if (c != 0xDA) continue;
    ++d->scans;
    // Entropy-coded data: 0xFF is followed by 0 (a stuffed byte) or a restart.
    for (;;) {
      c = in.Get();
      if (c == EOF) break;
      if (c != 0xFF) continue;
      int m = in.Get();
      while (m == 0xFF) m = in.Get();
      if (m == EOF) break;
      if (m == 0 || (m >= 0xD0 && m <= 0xD7)) continue;
      marker = m;
      break;
    }
    if (marker < 0) break;
  }
  if (d->scans > kMostScans) {
    SetImageError(error, *source, "a JPEG file with " + std::to_string(d->scans) + " scans, more than the " +
                                      std::to_string(kMostScans) + " this reader decodes");
    return false;
  }
  return true;
}

}  // namespace

bool ReadDeclaredImage(ImageSource* source, DeclaringFormat format, DeclaredImage* declared,
                       std::string* error) {
  *declared = DeclaredImage();
  std::rewind(source->file);
  bool ok = true;
  switch (format) {
    case DeclaringFormat::Png: ok = Png(source, declared, error); break;
    case DeclaringFormat::Gif: ok = Gif(source, declared); break;
    case DeclaringFormat::Jpeg: ok = Jpeg(source, declared, error); break;
  }
  std::rewind(source->file);
  if (!ok || !declared->found) return ok;
  if (!CheckImageSize(*source, declared->width, declared->height, error)) return false;
  // The highest ratios of deflate and of GIF's LZW.
  if (format == DeclaringFormat::Png) return CheckDeclaredSize(*source, declared->bytes, 1032, "PNG", error);
  if (format == DeclaringFormat::Gif) return CheckDeclaredSize(*source, declared->bytes, 2730, "GIF", error);
  return true;
}
