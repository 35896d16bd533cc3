#include "host/hosting/Streams.h"

#include <atomic>
#include <cerrno>

#include "host/platform/HostSystem.h"

volatile std::sig_atomic_t gInterrupted = 0;
volatile std::sig_atomic_t gOutputClosed = 0;

namespace {

// Written once, by the first failing write; read by every export thread.
std::atomic<int> gFailedDescriptor{-1};
std::atomic<int> gFailedError{0};

}  // namespace

bool OutputFailed(OutputFailure* failure) {
  int error = gFailedError.load();
  if (error == 0) return false;
  if (failure != nullptr) {
    failure->descriptor = gFailedDescriptor.load();
    failure->error = error;
  }
  return true;
}

bool ExportsStopped() { return gInterrupted != 0 || gOutputClosed != 0 || OutputFailed(); }

bool WriteStream(int fd, const void* data, size_t size) {
  if (gOutputClosed != 0 || OutputFailed()) return false;
  int error = 0;
  switch (WriteToDescriptor(fd, data, size, &gInterrupted, &error)) {
    case WriteResult::kWritten: return true;
    case WriteResult::kStopped: return false;
    case WriteResult::kReaderGone: gOutputClosed = 1; return false;
    case WriteResult::kFailed: break;
  }
  // The first failure is the one told: its descriptor and its reason
  // together, whichever thread fails next.
  int unset = -1;
  if (gFailedDescriptor.compare_exchange_strong(unset, fd)) gFailedError.store(error != 0 ? error : EIO);
  return false;
}

bool WriteStandardOutput(const void* data, size_t size) { return WriteStream(1, data, size); }
