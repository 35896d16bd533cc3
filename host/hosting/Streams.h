// Writing to standard output and to the other descriptors text streams to,
// and the flags that stop the exports: a stop signal, a reader that went
// away, a stream that cannot be written.
#pragma once

#include <csignal>
#include <cstddef>

// Set by the stop signals (their number); abortProc answers true once it
// is set, and decodes of whole images give up.
extern volatile std::sig_atomic_t gInterrupted;
// Set when the reader of standard output (or of another descriptor the
// text streams to) has gone away; the exports stop too.
extern volatile std::sig_atomic_t gOutputClosed;

// The first failure to write to a stream other than a reader going away:
// the descriptor and the system's error number. The exports stop too.
struct OutputFailure {
  int descriptor = -1;
  int error = 0;
};
// True, with the failure, once a write to a stream has failed that way.
bool OutputFailed(OutputFailure* failure = nullptr);
// True once the exports are to stop: a stop signal, or a stream that
// cannot be written.
bool ExportsStopped();

// Writes to standard output, or to another descriptor the text streams to.
// False on failure, which is then kept (gOutputClosed when the reader went
// away, else OutputFailed); a stop signal also ends a write that waits for
// a slow reader. After a failure, every later write fails at once.
bool WriteStandardOutput(const void* data, size_t size);
bool WriteStream(int fd, const void* data, size_t size);
