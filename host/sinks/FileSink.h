// A file of the user's (a path given with -o, beside the image, or chosen
// in the plug-in's dialog): the plug-in writes it itself, whole or not at
// all, and nothing of the text passes through the host.
#pragma once

#include <string>

#include "host/sinks/TextSink.h"

class FileSink final : public TextSink {
 public:
  bool Open(const RowLayout&, ExportOutcome*) override { return true; }
  std::string Folder() const override { return std::string(); }
  bool WantsPixels() const override { return false; }
  bool TakeText() override { return true; }
  void AddBand(const ServedBand&) override {}
  void End(ExportOutcome*) override {}
};
