// The stage between the decoder and the delivered rows of a resized image:
// stored rows (oriented) become colour that can be averaged, are resampled,
// and come out in the delivered mode.
//
// The colour that is averaged is the stored one after palette expansion:
// grey, RGB, CMYK or Lab (a palette image: RGB), with alpha composited over
// white; with alpha kept, each colour is weighted by its alpha (the colour
// over white, premultiplied against white) and divided out again after.
// Multichannel mode averages every stored channel as it is. Only then does
// the colour become the mode's planes, so hue, CMYK ink and Lab come from
// averaged colour, never averaged themselves; bitmap is thresholded after
// averaging; indexed maps each averaged colour to the nearest entry of the
// delivered colour table (a palette image's own, composited as delivered).
#pragma once

#include <cstdint>
#include <string>

#include "host/image/ImageInput.h"
#include "host/image/input/ImageInternal.h"

struct ResizeStage;

// A stage for images of `layout`, shown srcWidth x srcHeight once oriented,
// resized to dstWidth x dstHeight and delivered as `info` says (mode,
// planes, alpha plane, colour table). The rows it holds are charged to the
// budget of `source`, which must outlive it, and its stop is heeded. Null
// with the reason.
ResizeStage* NewResizeStage(const StoredLayout& layout, int32_t srcWidth, int32_t srcHeight,
                            int32_t dstWidth, int32_t dstHeight, const ImageInfo& info,
                            bool keepAlpha, const ImageSource* source, std::string* why);
void FreeResizeStage(ResizeStage* stage);

// Starts again from the first source row.
bool ResetResizeStage(ResizeStage* stage, std::string* error);

// Output rows first..end - 1 can be had, once made (ResizeStageMake);
// rows above first have been let go.
int32_t ResizeStageFirstRow(const ResizeStage* stage);
int32_t ResizeStageEndRow(const ResizeStage* stage);
bool ResizeStageMake(ResizeStage* stage, int32_t end, std::string* error);
void ResizeStageDrop(ResizeStage* stage, int32_t y);

// Takes the next oriented stored row (srcWidth pixels of the layout).
bool ResizeStagePush(ResizeStage* stage, const uint8_t* stored, std::string* error);

// Output row y, columns left..left + count - 1, every plane of the mode
// (alpha last), or packed bits in bitmap mode, into `out`.
void ResizeStageDeliver(ResizeStage* stage, int32_t y, int32_t left, int32_t count, uint8_t* out);

// The same pixels as sRGB, 3 bytes each, alpha composited over white: the
// averaged colour before it becomes the mode's planes.
void ResizeStageColour(ResizeStage* stage, int32_t y, int32_t left, int32_t count, uint8_t* rgb);
