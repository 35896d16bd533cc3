// The base of every sink that takes the text as the plug-in writes it: the
// plug-in writes into a private folder, and the text is copied from there
// while it grows (before each band is served, and the rest at the end), a
// bounded piece at a time, the disk space given back behind it. What the
// pieces go to is the kind's own (a stream, a coloured terminal, a page).
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "host/sinks/TextSink.h"

class CopySink : public TextSink {
 public:
  bool Open(const RowLayout& layout, ExportOutcome* outcome) override;
  std::string Folder() const override { return folder_; }
  bool WantsPixels() const override { return false; }
  bool TakeText() override;
  void AddBand(const ServedBand&) override {}
  void End(ExportOutcome* outcome) override;

 protected:
  explicit CopySink(std::string folder) : folder_(std::move(folder)) {}

  // A piece of the text, in order; false stops the copy and the export.
  virtual bool Deliver(const char* data, size_t size) = 0;
  // The end of the text, once all of it is delivered; false when what it
  // feeds could not be ended.
  virtual bool Complete() { return true; }

  std::string folder_;  // the private folder the plug-in writes into

 private:
  int fd_ = -1;             // the plug-in's file there, once it exists
  long long copied_ = 0;
  bool failed_ = false;
  std::vector<char> buffer_;  // one piece of the copy, kept between bands
};
