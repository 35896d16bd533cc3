// libjxl 0.7 as Debian builds it prints a trace of every decoding failure
// to stderr ("./lib/jxl/dec_group.cc:508: JXL_FAILURE: ..."), and dav1d
// under libheif its bitstream warnings, with no way to turn them off. The
// host says what went wrong itself, in one line naming the file, so what
// they print is dropped: while a QuietLibraryOutput lives, stderr output of
// its thread goes nowhere; other threads' passes through as before.
#pragma once

class QuietLibraryOutput {
 public:
  QuietLibraryOutput();
  ~QuietLibraryOutput();
  QuietLibraryOutput(const QuietLibraryOutput&) = delete;
  QuietLibraryOutput& operator=(const QuietLibraryOutput&) = delete;

 private:
  bool wasQuiet_;
};
