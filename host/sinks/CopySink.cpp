#include "host/sinks/CopySink.h"

#include "host/hosting/Streams.h"
#include "host/platform/HostSystem.h"

bool CopySink::Open(const RowLayout&, ExportOutcome*) {
  fd_ = -1;
  copied_ = 0;
  failed_ = false;
  return true;
}

bool CopySink::TakeText() {
  if (failed_) return false;
  if (fd_ < 0) fd_ = OpenOnlyFileIn(folder_);
  if (fd_ < 0) return true;
  buffer_.resize(1 << 16);
  for (;;) {
    long long n = ReadAt(fd_, buffer_.data(), buffer_.size(), copied_);
    if (n <= 0) break;
    // A write begun after a stop still puts out its first piece (for the
    // report lines): the copy itself takes no more after one.
    if (gInterrupted != 0 || !Deliver(buffer_.data(), static_cast<size_t>(n))) {
      failed_ = true;
      return false;
    }
    copied_ += n;
  }
  ReleaseFileSpace(fd_, copied_);
  return true;
}

void CopySink::End(ExportOutcome* outcome) {
  // The finished file is the temporary one renamed: the rest of it, then
  // nothing left behind.
  if (outcome->result == kResultOk) {
    if (!TakeText()) outcome->result = kResultCancelled;
    if (!failed_ && !Complete()) {
      failed_ = true;
      outcome->result = kResultCancelled;
    }
  }
  CloseFile(fd_);
  fd_ = -1;
  RemoveFilesIn(folder_);
}
