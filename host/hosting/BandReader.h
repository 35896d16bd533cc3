// Serves the plug-in's band requests from an open image. While the plug-in
// turns one band into text and writes it, a worker thread already decodes
// the band it will most likely ask for next (the rows just below, as tall),
// so that decoding and writing overlap on a machine with two cores. One
// worker serves every export that runs one after another on a thread, and
// it is started only when an image needs more than one band: a batch of
// small images starts no thread at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/image/ImageInput.h"

struct BandArea {
  int32_t top, bottom, left, right, loPlane, hiPlane;
  int32_t rowBytes;  // distance between rows in the delivered band
  size_t bytes;      // rowBytes × rows
};

struct ReadAheadWorker;
struct BandReader;

// A worker for the exports of one thread; its thread starts on first need.
ReadAheadWorker* NewReadAheadWorker();
// Ends the worker's thread; null is allowed. No reader may still use it.
void DeleteReadAheadWorker(ReadAheadWorker* worker);

// `imageHeight` bounds the guesses; a null `worker` decodes only on request.
// With `colour`, every band comes with its colour rows too (BandColour),
// decoded together with it, ahead as well.
BandReader* StartBandReader(ImageFile* image, int32_t imageHeight, ReadAheadWorker* worker,
                            bool colour = false);

// The area's samples, valid until the next call; null with the reader's
// message when the image cannot be read.
const uint8_t* ReadBand(BandReader* reader, const BandArea& area, std::string* error);

// The colour rows of the band ReadBand last delivered (sRGB, 3 bytes a
// pixel, rows 3 × its columns apart), valid as long as the band; null for a
// reader started without colour.
const uint8_t* BandColour(const BandReader* reader);

// Waits for any decoding still running and frees the reader; null is allowed.
void StopBandReader(BandReader* reader);
