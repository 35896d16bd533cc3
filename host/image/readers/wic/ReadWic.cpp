// JPEG, PNG, TIFF and GIF on Windows, read through the Windows Imaging
// Component: the system's own decoders, so the Windows program ships none.
// Behind the same reader interface as the libraries on Linux, and delivering
// the same stored layouts: grey, RGB, CMYK and palette indices as the file
// has them, 16-bit samples scaled to 8 as the Linux readers scale them, the
// GIF's first image placed on its logical screen, and the orientation of
// JPEG and TIFF files left to the host.
//
// What the host cannot see: WIC decodes inside its own buffers (Wine's
// decoders hold the whole image from the first row asked for), so the
// memory budget is charged with the decoded size of the frame at open, and
// WIC's own allocations beyond that stay unseen. A file WIC decodes without
// complaint is delivered as WIC gives it, even where the Linux reader would
// have called it truncated.
#include <windows.h>
#include <wincodec.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/image/budget/MemoryBudget.h"
#include "host/image/input/SizeArithmetic.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/readers/wic/DeclaredImage.h"
#include "host/image/readers/wic/FileStream.h"

const char* const kSystemDecoders = "the Windows Imaging Component";

namespace {

template <typename T>
void Drop(T** object) {
  if (*object != nullptr) (*object)->Release();
  *object = nullptr;
}

// COM for the threads that call WIC: the host opens an image on one thread
// and may read it ahead on another. Single-threaded apartments, as the
// plug-in's Save As dialog needs on the thread that shows it; a thread the
// host has already put in another apartment keeps it.
struct ComApartment {
  bool entered = false;
  ComApartment() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    entered = hr == S_OK || hr == S_FALSE;
  }
  ~ComApartment() {
    if (entered) CoUninitialize();
  }
};

void EnterCom() {
  thread_local ComApartment apartment;
  static_cast<void>(apartment);
}

constexpr HRESULT Code(unsigned long value) { return static_cast<HRESULT>(value); }

std::string Describe(HRESULT hr) {
  struct Known {
    HRESULT code;
    const char* text;
  };
  static const Known known[] = {
      {Code(0x88982F61), "a damaged header"},
      {Code(0x88982F60), "damaged image data"},
      {Code(0x88982F70), "damaged image data"},
      {Code(0x88982F62), "no image in it"},
      {Code(0x88982F72), "it ends before the image data does"},
      // The host has recognised the file already: WIC's decoder refused it.
      {Code(0x88982F07), "damaged, truncated, or of a kind its decoder does not read"},
      {Code(0x88982F50), "damaged, truncated, or of a kind its decoder does not read"},
      {Code(0x80004005), "damaged, truncated, or of a kind its decoder does not read"},
      {Code(0x88982F80), "a pixel format that cannot be converted"},
      {Code(0x88982F51), "an image size out of range"},
      {Code(0x8007000E), "not enough memory"},
      {Code(0x80004004), "interrupted"},
  };
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  for (const Known& k : known) {
    if (k.code == hr) return std::string(k.text) + " (" + code + ")";
  }
  return std::string("error ") + code;
}

// How WIC stores a frame's pixels, and how they become the stored layout.
struct PixelLayout {
  const GUID* format;
  int32_t bits;          // per stored pixel
  int32_t samples;       // per stored pixel (8 or 16 bits each; padding included)
  int32_t channels;      // delivered
  StoredSpace space;
  int32_t alpha;         // delivered alpha channel, or -1
  uint8_t order[4];      // delivered channel c is stored sample order[c]
  bool wide;             // 16-bit samples, little-endian
  bool premultiplied;
  bool inks;             // CMYK with 0 = no ink: inverted into the host's 255 = no ink
};

const PixelLayout kLayouts[] = {
    {&GUID_WICPixelFormatBlackWhite, 1, 1, 1, StoredSpace::Gray, -1, {0}, false, false, false},
    {&GUID_WICPixelFormat2bppGray, 2, 1, 1, StoredSpace::Gray, -1, {0}, false, false, false},
    {&GUID_WICPixelFormat4bppGray, 4, 1, 1, StoredSpace::Gray, -1, {0}, false, false, false},
    {&GUID_WICPixelFormat8bppGray, 8, 1, 1, StoredSpace::Gray, -1, {0}, false, false, false},
    {&GUID_WICPixelFormat16bppGray, 16, 1, 1, StoredSpace::Gray, -1, {0}, true, false, false},
    {&GUID_WICPixelFormat1bppIndexed, 1, 1, 1, StoredSpace::Indexed, -1, {0}, false, false, false},
    {&GUID_WICPixelFormat2bppIndexed, 2, 1, 1, StoredSpace::Indexed, -1, {0}, false, false, false},
    {&GUID_WICPixelFormat4bppIndexed, 4, 1, 1, StoredSpace::Indexed, -1, {0}, false, false, false},
    {&GUID_WICPixelFormat8bppIndexed, 8, 1, 1, StoredSpace::Indexed, -1, {0}, false, false, false},
    {&GUID_WICPixelFormat24bppBGR, 24, 3, 3, StoredSpace::RGB, -1, {2, 1, 0}, false, false, false},
    {&GUID_WICPixelFormat24bppRGB, 24, 3, 3, StoredSpace::RGB, -1, {0, 1, 2}, false, false, false},
    {&GUID_WICPixelFormat32bppBGR, 32, 4, 3, StoredSpace::RGB, -1, {2, 1, 0}, false, false, false},
    {&GUID_WICPixelFormat32bppBGRA, 32, 4, 4, StoredSpace::RGB, 3, {2, 1, 0, 3}, false, false, false},
    {&GUID_WICPixelFormat32bppRGBA, 32, 4, 4, StoredSpace::RGB, 3, {0, 1, 2, 3}, false, false, false},
    {&GUID_WICPixelFormat32bppPBGRA, 32, 4, 4, StoredSpace::RGB, 3, {2, 1, 0, 3}, false, true, false},
    {&GUID_WICPixelFormat32bppPRGBA, 32, 4, 4, StoredSpace::RGB, 3, {0, 1, 2, 3}, false, true, false},
    {&GUID_WICPixelFormat48bppRGB, 48, 3, 3, StoredSpace::RGB, -1, {0, 1, 2}, true, false, false},
    {&GUID_WICPixelFormat48bppBGR, 48, 3, 3, StoredSpace::RGB, -1, {2, 1, 0}, true, false, false},
    {&GUID_WICPixelFormat64bppRGBA, 64, 4, 4, StoredSpace::RGB, 3, {0, 1, 2, 3}, true, false, false},
    {&GUID_WICPixelFormat64bppBGRA, 64, 4, 4, StoredSpace::RGB, 3, {2, 1, 0, 3}, true, false, false},
    {&GUID_WICPixelFormat32bppCMYK, 32, 4, 4, StoredSpace::CMYK, -1, {0, 1, 2, 3}, false, false, true},
    {&GUID_WICPixelFormat64bppCMYK, 64, 4, 4, StoredSpace::CMYK, -1, {0, 1, 2, 3}, true, false, true},
};
// Anything else (floating point, 5-6-5, CMYK with alpha...) is converted by
// WIC into this one, with its own rounding.
const PixelLayout& kConverted = kLayouts[12];
// A grey PNG with alpha (or with a transparent grey) comes from WIC as RGBA:
// one of its equal colours and the alpha make the grey and alpha the Linux
// reader stores.
const PixelLayout kGreyAlpha8 = {&GUID_WICPixelFormat32bppBGRA, 32, 4, 2, StoredSpace::Gray, 1, {2, 3}, false, false, false};
const PixelLayout kGreyAlpha16 = {&GUID_WICPixelFormat64bppRGBA, 64, 4, 2, StoredSpace::Gray, 1, {0, 3}, true, false, false};

const PixelLayout* FindLayout(const GUID& format) {
  for (const PixelLayout& l : kLayouts) {
    if (IsEqualGUID(*l.format, format)) return &l;
  }
  return nullptr;
}

struct WicState {
  ImageSource* source = nullptr;
  const char* format = "";
  IStream* stream = nullptr;
  IWICImagingFactory* factory = nullptr;
  IWICBitmapDecoder* decoder = nullptr;
  IWICBitmapFrameDecode* frame = nullptr;
  IWICFormatConverter* converter = nullptr;
  IWICBitmapSource* pixels = nullptr;  // the frame, or the converter over it
  const PixelLayout* layout = nullptr;
  int32_t channels = 0;  // stored
  // A grey PNG, whose samples WIC (Wine's) may give as indices into a grey
  // table when it has a transparent grey: taken as the grey samples they
  // are, with that grey (greyKey, as stored; -1 for none) as alpha beside
  // them, as libpng gives it.
  bool greySamples = false;
  int32_t greyKey = -1;
  int32_t width = 0;   // stored (a GIF's logical screen)
  int32_t height = 0;
  // The decoded frame on the stored image: all of it but for a GIF, whose
  // first image may cover part of its screen (the rest is `fill`).
  int32_t left = 0;
  int32_t top = 0;
  int32_t frameWidth = 0;    // as WIC decodes it
  int32_t frameHeight = 0;
  int32_t visibleWidth = 0;  // on the screen
  int32_t visibleHeight = 0;
  uint8_t fill = 0;
  uint32_t stride = 0;       // bytes of one decoded row
  int32_t chunkRows = 0;     // decoded rows fetched at once
  uint8_t* chunk = nullptr;
  int32_t next = 0;          // the stored row delivered next
};

void WicClose(void* state) {
  WicState* s = static_cast<WicState*>(state);
  if (s == nullptr) return;
  Drop(&s->pixels);
  Drop(&s->converter);
  Drop(&s->frame);
  Drop(&s->decoder);
  Drop(&s->factory);
  Drop(&s->stream);
  std::free(s->chunk);
  delete s;
}

bool Refuse(WicState* s, HRESULT hr, std::string* error) {
  if (hr == Code(0x80004004) && Interrupted(*s->source, error)) return false;
  SetImageError(error, *s->source,
                std::string("cannot be read as ") + s->format + " by " + kSystemDecoders + ": " + Describe(hr));
  return false;
}

// A number from the file's metadata ("/logscrdesc/Width"), or `otherwise`.
uint32_t Metadata(IWICMetadataQueryReader* query, const wchar_t* name, uint32_t otherwise) {
  if (query == nullptr) return otherwise;
  PROPVARIANT value;
  PropVariantInit(&value);
  uint32_t result = otherwise;
  if (query->GetMetadataByName(name, &value) >= 0) {
    switch (value.vt) {
      case VT_UI1: result = value.bVal; break;
      case VT_UI2: result = value.uiVal; break;
      case VT_UI4: result = value.ulVal; break;
      case VT_BOOL: result = value.boolVal != VARIANT_FALSE ? 1 : 0; break;
      default: break;
    }
  }
  PropVariantClear(&value);
  return result;
}

IWICMetadataQueryReader* QueryOf(IWICBitmapFrameDecode* frame) {
  IWICMetadataQueryReader* query = nullptr;
  if (frame->GetMetadataQueryReader(&query) < 0) return nullptr;
  return query;
}

IWICMetadataQueryReader* QueryOf(IWICBitmapDecoder* decoder) {
  IWICMetadataQueryReader* query = nullptr;
  if (decoder->GetMetadataQueryReader(&query) < 0) return nullptr;
  return query;
}

// The colour table of an indexed frame, as the Linux readers give it:
// RGBA, entries past the count opaque black, or a grey ramp without one.
bool ReadPalette(WicState* s, StoredLayout* l, std::string* error) {
  IWICPalette* palette = nullptr;
  HRESULT hr = s->factory->CreatePalette(&palette);
  if (hr < 0) return Refuse(s, hr, error);
  UINT count = 0;
  WICColor colours[256] = {};
  if (s->frame->CopyPalette(palette) >= 0 && palette->GetColorCount(&count) >= 0 && count > 0) {
    if (count > 256) {
      palette->Release();
      SetImageError(error, *s->source, std::to_string(count) + " colours in a colour table of at most 256");
      return false;
    }
    hr = palette->GetColors(count, colours, &count);
    palette->Release();
    if (hr < 0) return Refuse(s, hr, error);
    for (UINT i = 0; i < count; ++i) {
      const WICColor c = colours[i];
      l->palette[i][0] = static_cast<uint8_t>(c >> 16);
      l->palette[i][1] = static_cast<uint8_t>(c >> 8);
      l->palette[i][2] = static_cast<uint8_t>(c);
      l->palette[i][3] = static_cast<uint8_t>(c >> 24);
    }
    for (UINT i = count; i < 256; ++i) l->palette[i][3] = 255;
    l->paletteCount = static_cast<int32_t>(count);
    return true;
  }
  palette->Release();
  for (int i = 0; i < 256; ++i) {
    for (int k = 0; k < 3; ++k) l->palette[i][k] = static_cast<uint8_t>(i);
    l->palette[i][3] = 255;
  }
  l->paletteCount = 256;
  return true;
}

// The GIF's logical screen and where its first image lies on it; the
// transparent index (made transparent in the table) fills the rest, else
// the screen's background index.
bool PlaceGifFrame(WicState* s, StoredLayout* l, std::string* error) {
  IWICMetadataQueryReader* screen = QueryOf(s->decoder);
  IWICMetadataQueryReader* image = QueryOf(s->frame);
  s->width = static_cast<int32_t>(Metadata(screen, L"/logscrdesc/Width", static_cast<uint32_t>(s->frameWidth)));
  s->height = static_cast<int32_t>(Metadata(screen, L"/logscrdesc/Height", static_cast<uint32_t>(s->frameHeight)));
  const uint32_t background = Metadata(screen, L"/logscrdesc/BackgroundColorIndex", 0);
  s->left = static_cast<int32_t>(Metadata(image, L"/imgdesc/Left", 0));
  s->top = static_cast<int32_t>(Metadata(image, L"/imgdesc/Top", 0));
  const bool transparent = Metadata(image, L"/grctlext/TransparencyFlag", 0) != 0;
  const uint32_t index = Metadata(image, L"/grctlext/TransparentColorIndex", 0);
  if (screen != nullptr) screen->Release();
  if (image != nullptr) image->Release();
  if (!CheckImageSize(*s->source, s->width, s->height, error)) return false;
  for (int i = 0; i < 256; ++i) l->palette[i][3] = 255;
  if (transparent) l->palette[index & 255][3] = 0;
  s->fill = static_cast<uint8_t>(transparent ? index : background);
  s->visibleWidth = s->left < s->width ? std::min(s->frameWidth, s->width - s->left) : 0;
  s->visibleHeight = s->top < s->height ? std::min(s->frameHeight, s->height - s->top) : 0;
  return true;
}

// The TIFF orientation, left to the host to apply as on Linux.
int32_t Orientation(WicState* s, const wchar_t* name) {
  IWICMetadataQueryReader* query = QueryOf(s->frame);
  const uint32_t value = Metadata(query, name, 1);
  if (query != nullptr) query->Release();
  return value >= 1 && value <= 8 ? static_cast<int32_t>(value) : 1;
}

// WIC's decoder on the file, and its first frame, whose size the plug-in
// interface must be able to carry.
bool StartDecoder(WicState* s, const GUID& container, std::string* error) {
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&s->factory));
  if (hr < 0) return Refuse(s, hr, error);
  s->stream = NewFileStream(s->source);
  hr = s->factory->CreateDecoderFromStream(s->stream, nullptr, WICDecodeMetadataCacheOnDemand, &s->decoder);
  if (hr < 0) return Refuse(s, hr, error);
  GUID found = GUID_NULL;
  if (s->decoder->GetContainerFormat(&found) < 0 || !IsEqualGUID(found, container)) {
    SetImageError(error, *s->source, std::string("not read as ") + s->format + " by " + kSystemDecoders);
    return false;
  }
  UINT frames = 0;
  if ((hr = s->decoder->GetFrameCount(&frames)) < 0) return Refuse(s, hr, error);
  if (frames == 0) {
    SetImageError(error, *s->source, std::string("no image in this ") + s->format + " file");
    return false;
  }
  if ((hr = s->decoder->GetFrame(0, &s->frame)) < 0) return Refuse(s, hr, error);
  UINT w = 0, h = 0;
  if ((hr = s->frame->GetSize(&w, &h)) < 0) return Refuse(s, hr, error);
  if (!CheckImageSize(*s->source, w, h, error)) return false;
  s->frameWidth = s->width = static_cast<int32_t>(w);
  s->frameHeight = s->height = static_cast<int32_t>(h);
  s->visibleWidth = s->frameWidth;
  s->visibleHeight = s->frameHeight;
  return true;
}

// The pixels as WIC gives them: the frame's own format where it is one of
// ours, else converted into one; a grey PNG with alpha as grey and alpha.
bool ChoosePixels(WicState* s, bool greyPng, std::string* error) {
  WICPixelFormatGUID pixelFormat = GUID_WICPixelFormatUndefined;
  HRESULT hr = s->frame->GetPixelFormat(&pixelFormat);
  if (hr < 0) return Refuse(s, hr, error);
  s->layout = FindLayout(pixelFormat);
  s->pixels = s->frame;
  s->frame->AddRef();
  if (s->layout == nullptr) {
    if ((hr = s->factory->CreateFormatConverter(&s->converter)) < 0) return Refuse(s, hr, error);
    hr = s->converter->Initialize(s->frame, *kConverted.format, WICBitmapDitherTypeNone, nullptr, 0.0,
                                  WICBitmapPaletteTypeCustom);
    if (hr < 0) return Refuse(s, hr, error);
    Drop(&s->pixels);
    s->pixels = s->converter;
    s->converter->AddRef();
    s->layout = &kConverted;
  }
  if (greyPng) {
    if (s->layout == &kConverted) s->layout = &kGreyAlpha8;
    if (IsEqualGUID(*s->layout->format, GUID_WICPixelFormat64bppRGBA)) s->layout = &kGreyAlpha16;
  }
  return true;
}

// The stored layout the pixels make, as the Linux readers store it.
bool DescribeStored(WicState* s, const DeclaredImage& declared, bool png, bool gif, bool tiff,
                    StoredLayout* l, std::string* error) {
  const PixelLayout& p = *s->layout;
  l->channels = p.channels;
  l->space = p.space;
  l->alphaChannel = p.alpha;
  if (png && declared.pngColourType == 0 && p.alpha < 0 && p.bits <= 16) {
    s->greySamples = true;
    s->greyKey = declared.pngGreyKey;
    l->space = StoredSpace::Gray;
    l->channels = s->greyKey >= 0 ? 2 : 1;
    l->alphaChannel = s->greyKey >= 0 ? 1 : -1;
  }
  s->channels = l->channels;
  l->alphaPremultiplied = p.premultiplied;
  l->bilevel = p.bits == 1 && l->space == StoredSpace::Gray;
  if (l->space == StoredSpace::Indexed && !ReadPalette(s, l, error)) return false;
  if (gif && !PlaceGifFrame(s, l, error)) return false;
  l->orientation = declared.orientation;
  if (tiff) l->orientation = Orientation(s, L"/ifd/{ushort=274}");
  l->width = s->width;
  l->height = s->height;
  return true;
}

// What WIC holds: the frame decoded whole, in its own format (charged here
// unless its header's size was), and the rows fetched at once.
bool PrepareChunk(WicState* s, const DeclaredImage& declared, const std::string& what,
                  std::string* error) {
  const uint64_t rowBits = static_cast<uint64_t>(s->frameWidth) * static_cast<uint64_t>(s->layout->bits);
  s->stride = static_cast<uint32_t>((rowBits + 7) / 8);
  uint64_t decoded = 0;
  if (!CheckedProduct(s->stride, static_cast<uint64_t>(s->frameHeight), &decoded)) decoded = UINT64_MAX;
  s->chunkRows = static_cast<int32_t>(std::max<uint64_t>(1, std::min<uint64_t>(s->frameHeight, (1u << 20) / s->stride)));
  const uint64_t chunkBytes = static_cast<uint64_t>(s->stride) * static_cast<uint64_t>(s->chunkRows);
  ImageSource* source = s->source;
  // A TIFF's frame is charged once WIC has said its size (Wine's decoder
  // holds one strip or tile at a time, Windows' may hold more).
  if (declared.bytes == 0 && !ChargeMemory(*source, decoded, what.c_str(), error)) return false;
  if (!ChargeMemory(*source, chunkBytes, what.c_str(), error)) return false;
  s->chunk = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(chunkBytes)));
  if (s->chunk == nullptr) {
    SetImageError(error, *source, OutOfMemoryMessage(chunkBytes, what.c_str()));
    return false;
  }
  return true;
}

bool WicOpen(ImageSource* source, void** state, StoredLayout* l, const char* format,
             const GUID& container, std::string* error) {
  *state = nullptr;
  *l = StoredLayout();
  l->format = format;
  if (source->scaleDenominator != 1) {
    SetImageError(error, *source, "this build cannot resize images");
    return false;
  }
  EnterCom();
  const bool jpeg = IsEqualGUID(container, GUID_ContainerFormatJpeg);
  const bool png = IsEqualGUID(container, GUID_ContainerFormatPng);
  const bool gif = IsEqualGUID(container, GUID_ContainerFormatGif);
  const bool tiff = IsEqualGUID(container, GUID_ContainerFormatTiff);
  const std::string what = std::string(format) + ", by " + kSystemDecoders;
  // What the header declares is judged, and charged, before WIC may decode.
  DeclaredImage declared;
  if (jpeg || png || gif) {
    const DeclaringFormat kind = jpeg ? DeclaringFormat::Jpeg : png ? DeclaringFormat::Png : DeclaringFormat::Gif;
    if (!ReadDeclaredImage(source, kind, &declared, error)) return false;
    if (!ChargeMemory(*source, declared.bytes, what.c_str(), error)) return false;
  }
  WicState* s = new WicState;
  s->source = source;
  s->format = format;
  const bool greyPng = png && (declared.pngColourType == 0 || declared.pngColourType == 4);
  if (!StartDecoder(s, container, error) || !ChoosePixels(s, greyPng, error) ||
      !DescribeStored(s, declared, png, gif, tiff, l, error) || !PrepareChunk(s, declared, what, error)) {
    WicClose(s);
    return false;
  }
  l->wholeReason = "decoded by the Windows Imaging Component, which may hold it whole";
  *state = s;
  return true;
}

// One decoded row into `out`, `count` pixels.
void Deliver(const WicState* s, const uint8_t* row, int32_t count, uint8_t* out) {
  const PixelLayout& p = *s->layout;
  if (s->greySamples) {
    const int32_t perByte = p.bits < 8 ? 8 / p.bits : 1;
    const uint32_t mask = p.bits < 8 ? (1u << p.bits) - 1 : 255;
    for (int32_t x = 0; x < count; ++x) {
      uint32_t raw = 0, grey = 0;
      if (p.bits < 8) {
        raw = (row[x / perByte] >> (8 - p.bits * (x % perByte + 1))) & mask;
        grey = raw * 255 / mask;
      } else if (p.wide) {
        raw = static_cast<uint32_t>(row[2 * x]) | static_cast<uint32_t>(row[2 * x + 1]) << 8;
        grey = (raw * 255 + 32767) / 65535;
      } else {
        grey = raw = row[x];
      }
      if (s->greyKey < 0) {
        out[x] = static_cast<uint8_t>(grey);
        continue;
      }
      out[2 * x] = static_cast<uint8_t>(grey);
      out[2 * x + 1] = raw == static_cast<uint32_t>(s->greyKey) ? 0 : 255;
    }
    return;
  }
  if (p.bits < 8) {
    const int32_t perByte = 8 / p.bits;
    const uint32_t mask = (1u << p.bits) - 1;
    for (int32_t x = 0; x < count; ++x) {
      const uint32_t shift = static_cast<uint32_t>(8 - p.bits * (x % perByte + 1));
      const uint32_t v = (row[x / perByte] >> shift) & mask;
      out[x] = static_cast<uint8_t>(p.space == StoredSpace::Gray ? v * 255 / mask : v);
    }
    return;
  }
  const int32_t channels = p.channels;
  for (int32_t x = 0; x < count; ++x) {
    for (int32_t c = 0; c < channels; ++c) {
      const size_t at = static_cast<size_t>(x) * static_cast<size_t>(p.samples) + p.order[c];
      uint32_t v = 0;
      if (p.wide) {
        const uint32_t wide = static_cast<uint32_t>(row[at * 2]) | static_cast<uint32_t>(row[at * 2 + 1]) << 8;
        v = (wide * 255 + 32767) / 65535;
      } else {
        v = row[at];
      }
      if (p.inks && c < 4) v = 255 - v;
      out[static_cast<size_t>(x) * static_cast<size_t>(channels) + static_cast<size_t>(c)] = static_cast<uint8_t>(v);
    }
  }
}

bool WicReadRows(void* state, uint8_t* const* rows, int32_t count, std::string* error) {
  WicState* s = static_cast<WicState*>(state);
  EnterCom();
  if (count < 0 || count > s->height - s->next) {
    SetImageError(error, *s->source, "rows asked for past the end of the image");
    return false;
  }
  const size_t channels = static_cast<size_t>(s->channels);
  int32_t done = 0;
  while (done < count) {
    if (Interrupted(*s->source, error)) return false;
    const int32_t y = s->next;
    const int32_t frameRow = y - s->top;
    if (frameRow < 0 || frameRow >= s->visibleHeight || s->visibleWidth <= 0) {
      // A GIF's screen outside its image.
      std::memset(rows[done], s->fill, static_cast<size_t>(s->width) * channels);
      ++s->next;
      ++done;
      continue;
    }
    const int32_t n = std::min({count - done, s->chunkRows, s->visibleHeight - frameRow});
    WICRect rect = {0, frameRow, s->frameWidth, n};
    HRESULT hr = s->pixels->CopyPixels(&rect, s->stride, s->stride * static_cast<UINT>(n), s->chunk);
    if (hr < 0) return Refuse(s, hr, error);
    for (int32_t r = 0; r < n; ++r) {
      uint8_t* out = rows[done + r];
      const bool placed = s->left != 0 || s->visibleWidth != s->width;
      if (placed) std::memset(out, s->fill, static_cast<size_t>(s->width) * channels);
      Deliver(s, s->chunk + static_cast<size_t>(r) * s->stride, s->visibleWidth,
              out + static_cast<size_t>(s->left) * channels);
    }
    s->next += n;
    done += n;
  }
  return true;
}

bool OpenJpeg(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  return WicOpen(source, state, layout, "JPEG", GUID_ContainerFormatJpeg, error);
}
bool OpenPng(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  return WicOpen(source, state, layout, "PNG", GUID_ContainerFormatPng, error);
}
bool OpenTiff(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  return WicOpen(source, state, layout, "TIFF", GUID_ContainerFormatTiff, error);
}
bool OpenGif(ImageSource* source, void** state, StoredLayout* layout, std::string* error) {
  return WicOpen(source, state, layout, "GIF", GUID_ContainerFormatGif, error);
}

const ImageReader kWicJpeg = {"JPEG", OpenJpeg, WicReadRows, WicClose};
const ImageReader kWicPng = {"PNG", OpenPng, WicReadRows, WicClose};
const ImageReader kWicTiff = {"TIFF", OpenTiff, WicReadRows, WicClose};
const ImageReader kWicGif = {"GIF", OpenGif, WicReadRows, WicClose};

}  // namespace

const ImageReader* const kJpegReader = &kWicJpeg;
const ImageReader* const kPngReader = &kWicPng;
const ImageReader* const kTiffReader = &kWicTiff;
const ImageReader* const kGifReader = &kWicGif;
