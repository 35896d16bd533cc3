// The stage between the decoder and the delivered rows of a resized image:
// stored rows (oriented) become colour that can be averaged, are resampled,
// and come out in the delivered mode, as a request asks for them.
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

#include "host/image/ImageTypes.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/stages/Stages.h"

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

// Serves `request` from the resampled rows of `stage`, taking source rows
// as they are needed (a request above the rows held starts again from the
// top). `info` is what the image delivers; `scratch` holds one output run
// of all planes.
bool ServeResizedRows(ResizeStage* stage, const RowSource& source, const RowRequest& request,
                      const ImageInfo& info, const Inversion& inversion, uint8_t* scratch,
                      std::string* error);
