#include "host/image/stages/Stages.h"

#include <cstring>

Inversion MakeInversion(const ImageInfo& info, const StoredLayout& layout, bool invert) {
  Inversion inversion;
  inversion.on = invert;
  inversion.bitmap = info.mode == kImageModeBitmap;
  inversion.planes = info.planes;
  if (info.alphaPlane) {
    inversion.alphaPlane = info.planes - 1;
  } else if (info.mode == kImageModeMultichannel) {
    inversion.alphaPlane = layout.alphaChannel;
  }
  return inversion;
}

void Invert(const Inversion& v, uint8_t* pixels, int32_t count) {
  if (!v.on) return;
  if (v.bitmap) {
    for (int32_t i = 0; i < count / 8; ++i) pixels[i] = static_cast<uint8_t>(~pixels[i]);
    if (count % 8 != 0) pixels[count / 8] = static_cast<uint8_t>(pixels[count / 8] ^ (0xFF00 >> (count % 8)));
    return;
  }
  const size_t n = static_cast<size_t>(count) * static_cast<size_t>(v.planes);
  if (v.alphaPlane < 0) {
    for (size_t i = 0; i < n; ++i) pixels[i] = static_cast<uint8_t>(255 - pixels[i]);
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    if (static_cast<int32_t>(i % static_cast<size_t>(v.planes)) != v.alphaPlane) pixels[i] = static_cast<uint8_t>(255 - pixels[i]);
  }
}

void InvertPalette(ImageInfo* info) {
  if (info->mode != kImageModeIndexed || info->paletteCount <= 0) return;
  uint8_t table[256][3] = {};
  for (int32_t i = 0; i < info->paletteCount; ++i) {
    for (int k = 0; k < 3; ++k) table[255 - i][k] = static_cast<uint8_t>(255 - info->palette[i][k]);
  }
  std::memcpy(info->palette, table, sizeof table);
  info->paletteCount = 256;
  if (info->transparentIndex >= 0) info->transparentIndex = 255 - info->transparentIndex;
}

void SelectPlanes(const uint8_t* all, int32_t count, int32_t planes, int32_t loPlane,
                  int32_t hiPlane, uint8_t* out) {
  const size_t take = static_cast<size_t>(hiPlane - loPlane + 1);
  for (int32_t i = 0; i < count; ++i) {
    std::memcpy(out + static_cast<size_t>(i) * take,
                all + static_cast<size_t>(i) * static_cast<size_t>(planes) + static_cast<size_t>(loPlane),
                take);
  }
}

void DeliverColour(ColourStage* c, const StoredLayout& layout, int32_t maxPixels,
                   const uint8_t* stored, int32_t count, uint8_t* rgb) {
  if (!c->prepared) {
    c->prepared = true;
    c->channels = layout.channels;
    std::string unused;
    c->grey = !PrepareConversion(layout, kImageModeRGB, false, maxPixels, &c->conversion, &unused);
  }
  if (!c->grey) {
    ConvertPixels(&c->conversion, stored, count, rgb);
    return;
  }
  const size_t ch = static_cast<size_t>(c->channels);
  for (int32_t i = 0; i < count; ++i) {
    std::memset(rgb + static_cast<size_t>(i) * 3, stored[static_cast<size_t>(i) * ch], 3);
  }
}

void FreeColourStage(ColourStage* c) {
  FreeConversion(&c->conversion);
  c->prepared = false;
}

bool ServeResizedRows(ResizeStage* stage, const RowSource& source, const RowRequest& q,
                      const ImageInfo& info, const Inversion& inversion, uint8_t* scratch,
                      std::string* error) {
  if (q.top < ResizeStageFirstRow(stage)) {
    if (!ResetResizeStage(stage, error) || !source.rewind(source.context, error)) return false;
  }
  // Rows from `top` on stay, so that a band asked for again needs no restart.
  ResizeStageDrop(stage, q.top);
  const int32_t count = q.right - q.left;
  const bool all = info.mode == kImageModeBitmap || (q.loPlane == 0 && q.hiPlane == info.planes - 1);
  for (int32_t r = q.top; r < q.bottom; ++r) {
    while (ResizeStageEndRow(stage) <= r) {
      const uint8_t* row = nullptr;
      if (!source.next(source.context, &row, error) || !ResizeStagePush(stage, row, error)) return false;
      ResizeStageDrop(stage, q.top);
    }
    if (!ResizeStageMake(stage, r + 1, error)) return false;
    uint8_t* out = q.dest + static_cast<size_t>(r - q.top) * q.stride;
    uint8_t* pixels = all ? out : scratch;
    ResizeStageDeliver(stage, r, q.left, count, pixels);
    if (q.colour != nullptr) {
      ResizeStageColour(stage, r, q.left, count,
                        q.colour->dest + static_cast<size_t>(r - q.top) * static_cast<size_t>(q.colour->rowBytes));
    }
    Invert(inversion, pixels, count);
    if (!all) SelectPlanes(pixels, count, info.planes, q.loPlane, q.hiPlane, out);
  }
  return true;
}
