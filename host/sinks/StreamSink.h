// A stream: standard output or another descriptor (-o -, -o /dev/fd/N),
// the text copied to it as it grows, exactly as the plug-in wrote it.
#pragma once

#include <string>
#include <utility>

#include "host/sinks/CopySink.h"

class StreamSink : public CopySink {
 public:
  // `folder`: the private folder the run's streams pass through.
  StreamSink(std::string folder, int descriptor) : CopySink(std::move(folder)), descriptor_(descriptor) {}

 protected:
  bool Deliver(const char* data, size_t size) override;

 private:
  int descriptor_;
};
