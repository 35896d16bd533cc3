#include "host/image/readers/tiff/TiffTags.h"

#include <tiffio.h>

#include <string>

namespace {

bool ReadPalette(TiffState* s, StoredLayout* layout, std::string* error) {
  uint16_t* red = nullptr;
  uint16_t* green = nullptr;
  uint16_t* blue = nullptr;
  if (s->bits > 8) return Unsupported(s, "a colour table of " + std::to_string(s->bits) + "-bit indices", error);
  if (TIFFGetField(s->tif, TIFFTAG_COLORMAP, &red, &green, &blue) == 0 || red == nullptr) {
    SetImageError(error, *s->source, "corrupt TIFF file: a palette image without a colour table");
    return false;
  }
  const int count = 1 << s->bits;
  // Some writers put 8-bit values in the 16-bit table.
  bool eightBit = true;
  for (int i = 0; i < count; ++i) {
    if (red[i] > 255 || green[i] > 255 || blue[i] > 255) eightBit = false;
  }
  for (int i = 0; i < count; ++i) {
    const uint16_t v[3] = {red[i], green[i], blue[i]};
    for (int k = 0; k < 3; ++k) {
      layout->palette[i][k] = static_cast<uint8_t>(eightBit ? v[k] : (v[k] * 255u + 32767u) / 65535u);
    }
  }
  for (int i = 0; i < 256; ++i) layout->palette[i][3] = 255;
  layout->paletteCount = count;
  return true;
}

// The tags the layout is made from.
struct Tags {
  uint16_t photometric = 0;
  uint16_t planar = PLANARCONFIG_CONTIG;
  uint16_t format = SAMPLEFORMAT_UINT;
  uint16_t compression = COMPRESSION_NONE;
  uint16_t extraCount = 0;
  uint16_t* extraTypes = nullptr;  // libtiff's
};

// The tags the layout is made from, the size checked first.
bool ReadTags(TiffState* s, Tags* t, StoredLayout* layout, std::string* error) {
  TIFF* tif = s->tif;
  uint32_t width = 0, height = 0;
  uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &s->bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &s->samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &t->planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &t->format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &t->compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &t->photometric) == 0) {
    t->photometric = s->samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  }
  s->width = width;
  s->height = height;
  layout->width = static_cast<int32_t>(width > 0x7fffffff ? 0x7fffffff : width);
  layout->height = static_cast<int32_t>(height > 0x7fffffff ? 0x7fffffff : height);
  if (!CheckImageSize(*s->source, layout->width, layout->height, error)) return false;
  layout->orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
  if (s->samples < 1 || s->samples > 255) {
    return Unsupported(s, std::to_string(s->samples) + " samples a pixel", error);
  }
  // Alpha: the first extra sample that says it is one.
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &t->extraCount, &t->extraTypes);
  return true;
}

// The colour meaning of the samples, from the photometric interpretation:
// the space, how many samples carry colour, and whether only libtiff's RGBA
// interface reads them.
bool ReadColour(TiffState* s, const Tags& t, StoredLayout* layout, int* colour, bool* rgba,
                std::string* error) {
  switch (t.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
      s->space = StoredSpace::Gray;
      s->minIsWhite = t.photometric == PHOTOMETRIC_MINISWHITE;
      layout->bilevel = s->bits == 1;
      break;
    case PHOTOMETRIC_RGB:
      s->space = StoredSpace::RGB;
      *colour = 3;
      break;
    case PHOTOMETRIC_PALETTE:
      s->space = StoredSpace::Indexed;
      if (!ReadPalette(s, layout, error)) return false;
      break;
    case PHOTOMETRIC_SEPARATED: {
      uint16_t inks = INKSET_CMYK;
      TIFFGetFieldDefaulted(s->tif, TIFFTAG_INKSET, &inks);
      if (inks == INKSET_CMYK && s->samples >= 4) {
        s->space = StoredSpace::CMYK;
        s->invertInks = true;
        *colour = 4;
      } else {
        s->space = StoredSpace::Unknown;
        *colour = s->samples;
      }
      break;
    }
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
      if (s->bits != 8) return Unsupported(s, std::to_string(s->bits) + "-bit Lab", error);
      s->space = StoredSpace::Lab;
      s->labSigned = t.photometric == PHOTOMETRIC_CIELAB;
      *colour = 3;
      break;
    case PHOTOMETRIC_YCBCR:
      if (t.compression == COMPRESSION_JPEG && t.planar == PLANARCONFIG_CONTIG) {
        // libjpeg converts to RGB as it decodes.
        TIFFSetField(s->tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        s->space = StoredSpace::RGB;
        *colour = 3;
      } else {
        *rgba = true;
      }
      break;
    default:
      *rgba = true;
      break;
  }
  return true;
}

// Pixels through libtiff's RGBA interface: RGB, with alpha (premultiplied,
// as libtiff's raster holds it whatever the file has) when an extra sample
// is one.
bool ChooseRgba(TiffState* s, const Tags& t, StoredLayout* layout, std::string* error) {
  char why[1024] = {};
  if (TIFFRGBAImageOK(s->tif, why) == 0) return Unsupported(s, why, error);
  s->path = TiffPath::Rgba;
  s->space = StoredSpace::RGB;
  bool alpha = false;
  for (uint16_t i = 0; i < t.extraCount; ++i) {
    alpha = alpha || t.extraTypes[i] == EXTRASAMPLE_ASSOCALPHA ||
            t.extraTypes[i] == EXTRASAMPLE_UNASSALPHA;
  }
  s->channels = alpha ? 4 : 3;
  layout->alphaChannel = alpha ? 3 : -1;
  layout->alphaPremultiplied = alpha;
  layout->wholeReason = "TIFF read through libtiff's RGBA interface";
  return true;
}

// Pixels as stored, `colour` samples of colour first: alpha is the first
// extra sample that says it is one; separate planes are gathered whole.
bool ChooseStored(TiffState* s, const Tags& t, int colour, StoredLayout* layout,
                  std::string* error) {
  if (s->samples < colour) {
    SetImageError(error, *s->source, "corrupt TIFF file: " + std::to_string(s->samples) +
                                         " samples a pixel are too few for its colour");
    return false;
  }
  if (t.format != SAMPLEFORMAT_UINT && t.format != SAMPLEFORMAT_VOID) {
    return Unsupported(
        s, t.format == SAMPLEFORMAT_IEEEFP ? "floating-point samples" : "signed samples", error);
  }
  if (s->bits != 1 && s->bits != 2 && s->bits != 4 && s->bits != 8 && s->bits != 16) {
    return Unsupported(s, std::to_string(s->bits) + "-bit samples", error);
  }
  s->channels = s->samples;
  for (uint16_t i = 0; i < t.extraCount && colour + i < s->samples; ++i) {
    if (t.extraTypes[i] == EXTRASAMPLE_ASSOCALPHA || t.extraTypes[i] == EXTRASAMPLE_UNASSALPHA) {
      layout->alphaChannel = colour + i;
      layout->alphaPremultiplied = t.extraTypes[i] == EXTRASAMPLE_ASSOCALPHA;
      break;
    }
  }
  s->scaleLow = s->bits < 8;
  if (s->scaleLow) {
    const unsigned top = (1u << s->bits) - 1;
    for (unsigned v = 0; v <= top; ++v) s->low[v] = static_cast<uint8_t>((v * 255 + top / 2) / top);
  }
  if (t.planar == PLANARCONFIG_SEPARATE && s->samples > 1) {
    s->path = TiffPath::Planes;
    layout->wholeReason = "TIFF with separate planes";
  } else {
    s->path = TIFFIsTiled(s->tif) ? TiffPath::Tiles : TiffPath::Scanlines;
  }
  return true;
}

}  // namespace

bool PeekTiffSize(ImageSource* source, int64_t* width, int64_t* height) {
  uint8_t head[8];
  if (!ReadSourceBytes(source, head, sizeof head)) return false;
  const bool little = head[0] == 'I';
  auto u16 = [little](const uint8_t* p) {
    return little ? static_cast<uint32_t>(p[0] | p[1] << 8) : static_cast<uint32_t>(p[0] << 8 | p[1]);
  };
  auto u32 = [little, &u16](const uint8_t* p) {
    return little ? (u16(p) | u16(p + 2) << 16) : (u16(p) << 16 | u16(p + 2));
  };
  if (u16(head + 2) != 42 || fseeko(source->file, static_cast<off_t>(u32(head + 4)), SEEK_SET) != 0) {
    return false;
  }
  uint8_t count[2];
  if (!ReadSourceBytes(source, count, 2)) return false;
  *width = *height = -1;
  for (uint32_t i = 0, n = u16(count); i < n && i < 4096; ++i) {
    uint8_t e[12];
    if (!ReadSourceBytes(source, e, sizeof e)) return false;
    const uint32_t tag = u16(e), type = u16(e + 2);
    if ((tag != TIFFTAG_IMAGEWIDTH && tag != TIFFTAG_IMAGELENGTH) || u32(e + 4) != 1) continue;
    const int64_t value = type == TIFF_SHORT ? u16(e + 8) : type == TIFF_LONG ? u32(e + 8) : -1;
    (tag == TIFFTAG_IMAGEWIDTH ? *width : *height) = value;
  }
  return *width >= 0 && *height >= 0;
}

bool DescribeTiff(TiffState* s, StoredLayout* layout, std::string* error) {
  Tags tags;
  int colour = 1;
  bool rgba = false;
  if (!ReadTags(s, &tags, layout, error) || !ReadColour(s, tags, layout, &colour, &rgba, error)) {
    return false;
  }
  if (!(rgba ? ChooseRgba(s, tags, layout, error) : ChooseStored(s, tags, colour, layout, error))) {
    return false;
  }
  layout->space = s->space;
  layout->channels = s->channels;
  layout->format = "TIFF";
  return true;
}
