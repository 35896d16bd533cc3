// The text as a web page (--html, host/view/Page.h): the plug-in writes
// into a private folder of the export's own, and the page is made from the
// text as it grows, to a file through the host's output writer (whole or
// not at all: a failed export leaves the earlier page) or to a stream.
#pragma once

#include <memory>
#include <string>

#include "host/sinks/CopySink.h"
#include "host/view/Page.h"

struct OutputWriter;

class PageSink final : public CopySink {
 public:
  explicit PageSink(const ExportRequest& request);

  bool Open(const RowLayout& layout, ExportOutcome* outcome) override;
  bool WantsPixels() const override { return page_->WantsPixels(); }
  void AddBand(const ServedBand& band) override;
  void End(ExportOutcome* outcome) override;

 private:
  bool Deliver(const char* data, size_t size) override { return page_->Add(data, size); }
  bool Complete() override { return page_->Finish(); }
  bool OpenTarget(std::string* error);
  bool Write(const void* data, size_t size);

  PageRequest request_;
  PageLook look_;
  int descriptor_;                 // where a page without a path goes
  OutputWriter* writer_ = nullptr;  // null: to the descriptor
  std::string error_;               // why a write or the commit failed
  std::unique_ptr<Page> page_;
};
