// The state of an open image, shared by the files that serve it:
// ImageInput.cpp (opening, rows, sizing), Frames.cpp (the frames of an
// animation shown one after another) and ImageFile.cpp (the reader's place
// in the file: closing it, going back to the top, giving memory back).
#pragma once

#include <cstdint>
#include <string>

#include "host/image/ImageTypes.h"
#include "host/image/readers/ImageReader.h"
#include "host/image/stages/Convert.h"
#include "host/image/stages/Stages.h"

struct ResizeStage;

struct ImageFile {
  ImageSource source;
  const ImageReader* reader = nullptr;
  void* state = nullptr;       // the reader's, while it is open
  StoredLayout layout;
  ImageOptions options;
  ImageInfo info;
  Conversion conversion;
  Inversion inversion;
  ColourStage colour;          // stored pixels as colour rows, once asked for
  int32_t nextRow = 0;         // the stored row the reader delivers next
  uint8_t* row = nullptr;      // one stored row
  uint8_t* selected = nullptr; // one delivered row of all planes, for plane subsets
  // Images whose orientation needs the whole picture: the oriented image in
  // the stored layout, once loaded.
  bool holdWhole = false;
  uint8_t* whole = nullptr;
  uint64_t wholeBytes = 0;     // charged to the budget while `whole` is held
  bool failed = false;
  std::string failure;
  bool readStarted = false;
  // The stored size before the decoder was asked to shrink the image.
  int32_t fullWidth = 0;
  int32_t fullHeight = 0;
  // What the image delivers before inversion (the colour table as stored).
  ImageInfo plain;
  // A resized image: the stage that resamples it, and the next oriented
  // source row it takes.
  ResizeStage* resize = nullptr;
  int32_t sourceRow = 0;
};

// Records the failure: every later call on the image gives it again.
bool FailImage(ImageFile* image, const std::string& message, std::string* error);

// Closes the reader; what it took from the budget is given back.
void CloseReader(ImageFile* image);

// Frees the oriented image held whole, and its charge.
void DropWholeImage(ImageFile* image);

// Lets go of everything decoded, so that the image holds none of its
// budget while it waits for more: the next read starts from the top.
bool GiveBackMemory(ImageFile* image, std::string* error);

// Back to the first row of frame source.frame: a reader that keeps what it
// has read goes back itself (ImageReader::rewind); any other is opened
// again on the file from its start.
bool RestartImage(ImageFile* image, std::string* error);

// "has no frame 20: it has 12 frames", and the like.
std::string NoSuchFrame(const StoredLayout& l, int32_t frame);
