// Where the plug-in's text goes: one sink per export, chosen from its
// request before the export starts (ChooseSink.h), one kind per file here.
// The exporter runs the export (the record, the selectors, the bands, the
// outcome) and tells the sink what it needs to know as it goes: the rows
// the plug-in is given, each band served, the moment before each band (when
// the text written so far can be taken), and the end. A sink never reaches
// the plug-in and never looks at another sink.
#pragma once

#include <cstdint>
#include <string>

#include "host/hosting/ExportRequest.h"
#include "host/image/ImageInput.h"
#include "host/view/TextRows.h"

// A band just served to the plug-in: the area it asked for, its samples
// `rowBytes` apart, and the colour rows of its pixels (3 bytes a pixel,
// `pixelRowBytes` apart), null unless the sink wanted them.
struct ServedBand {
  int32_t top, bottom, left, right, loPlane, hiPlane;
  const uint8_t* samples;
  int32_t rowBytes;
  const uint8_t* pixels;
  int32_t pixelRowBytes;
};

class TextSink;

// The image of one export as the exporter offers it to its sink: exported
// once as it stands, or frame after frame by a sink that plays it.
class ImageExport {
 public:
  virtual ~ImageExport() = default;
  // The image as it stands: its size, its frames and their delays.
  virtual const ImageInfo& info() const = 0;
  // One export through the plug-in of the image as it stands, its text to
  // `sink`; false when it failed (the outcome says how).
  virtual bool ExportOnce(TextSink* sink) = 0;
  // Moves the image on to frame `frame` (counted from 1), sized as before.
  virtual bool ShowFrame(int32_t frame) = 0;
  // Sizes the image anew, from the whole frame, to `bounds`.
  virtual bool Refit(const SizeBounds& bounds) = 0;
};

class TextSink {
 public:
  virtual ~TextSink() = default;

  // Has the image exported: once, with its text here; a player has it
  // exported once per frame.
  virtual void Export(ImageExport* image, ExportOutcome* /*outcome*/) { image->ExportOnce(this); }

  // Each export through the plug-in, in this order:
  // Before it starts, for the rows as the plug-in is given them: makes
  // ready what the text needs. False, with `outcome` saying why, and the
  // export does not start.
  virtual bool Open(const RowLayout& layout, ExportOutcome* outcome) = 0;
  // The folder the plug-in is told to write its text into, for the sink to
  // take it from there; "": the plug-in writes where it is told to.
  virtual std::string Folder() const = 0;
  // Whether the bands must come with their pixels' colour rows.
  virtual bool WantsPixels() const = 0;
  // Before each band is served: the text written so far. False cancels the
  // export.
  virtual bool TakeText() = 0;
  virtual void AddBand(const ServedBand& band) = 0;
  // After the plug-in has finished, `outcome` holding its result: the rest
  // of the text and the end of what it feeds when the result is good, else
  // what was begun is given up; nothing is left behind. The outcome then
  // says what became of the text.
  virtual void End(ExportOutcome* outcome) = 0;
};
