#include "host/BandReader.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "host/platform/HostSystem.h"

struct ReadAheadWorker {
  std::mutex lock;
  std::condition_variable changed;
  std::thread thread;
  bool stop = false;
  BandReader* reader = nullptr;  // the reader with a band queued or in work
};

struct BandReader {
  ImageFile* image = nullptr;
  int32_t imageHeight = 0;
  ReadAheadWorker* worker = nullptr;
  std::vector<uint8_t> current;  // what the plug-in is reading

  // Shared with the worker, under its lock.
  bool queued = false;   // `aheadArea` is to be decoded
  bool working = false;  // the worker is decoding it
  bool ready = false;    // `ahead` holds `aheadArea`, or its failure
  BandArea aheadArea{};
  std::vector<uint8_t> ahead;
  bool aheadOk = false;
  std::string aheadError;
};

namespace {

bool SameArea(const BandArea& a, const BandArea& b) {
  return a.top == b.top && a.bottom == b.bottom && a.left == b.left && a.right == b.right &&
         a.loPlane == b.loPlane && a.hiPlane == b.hiPlane && a.rowBytes == b.rowBytes;
}

bool Decode(ImageFile* image, const BandArea& area, std::vector<uint8_t>* into, std::string* error) {
  into->resize(area.bytes);
  return ReadImageRows(image, area.top, area.bottom, area.left, area.right, area.loPlane,
                       area.hiPlane, into->data(), area.rowBytes, error);
}

void Work(ReadAheadWorker* w) {
  LeaveStopSignalsToMainThread();
  std::unique_lock<std::mutex> hold(w->lock);
  for (;;) {
    w->changed.wait(hold, [w] { return w->stop || (w->reader != nullptr && w->reader->queued); });
    if (w->stop) return;
    BandReader* r = w->reader;
    r->queued = false;
    r->working = true;
    BandArea area = r->aheadArea;
    hold.unlock();
    std::string error;
    bool ok = Decode(r->image, area, &r->ahead, &error);
    hold.lock();
    r->aheadOk = ok;
    r->aheadError = error;
    r->working = false;
    r->ready = true;
    w->changed.notify_all();
  }
}

}  // namespace

ReadAheadWorker* NewReadAheadWorker() { return new ReadAheadWorker; }

void DeleteReadAheadWorker(ReadAheadWorker* w) {
  if (w == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(w->lock);
    w->stop = true;
    w->changed.notify_all();
  }
  if (w->thread.joinable()) w->thread.join();
  delete w;
}

BandReader* StartBandReader(ImageFile* image, int32_t imageHeight, ReadAheadWorker* worker) {
  auto* r = new BandReader;
  r->image = image;
  r->imageHeight = imageHeight;
  r->worker = worker;
  return r;
}

const uint8_t* ReadBand(BandReader* r, const BandArea& area, std::string* error) {
  ReadAheadWorker* w = r->worker;
  if (w == nullptr) return Decode(r->image, area, &r->current, error) ? r->current.data() : nullptr;

  std::unique_lock<std::mutex> hold(w->lock);
  // The image is the worker's until its band is done.
  w->changed.wait(hold, [r] { return !r->queued && !r->working; });
  bool ok = false;
  if (r->ready && SameArea(r->aheadArea, area)) {
    r->current.swap(r->ahead);
    ok = r->aheadOk;
    if (!ok) *error = r->aheadError;
    r->ready = false;
  } else {
    r->ready = false;
    hold.unlock();
    ok = Decode(r->image, area, &r->current, error);
    hold.lock();
  }
  if (ok && area.bottom < r->imageHeight) {
    BandArea next = area;
    int32_t height = area.bottom - area.top;
    next.top = area.bottom;
    next.bottom = r->imageHeight - area.bottom > height ? area.bottom + height : r->imageHeight;
    next.bytes = static_cast<size_t>(next.bottom - next.top) * static_cast<size_t>(area.rowBytes);
    r->aheadArea = next;
    bool running = w->thread.joinable();
    if (!running) {
      // Without a thread of its own the reader still answers, a band at a time.
      try {
        w->thread = std::thread(Work, w);
        running = true;
      } catch (...) {
      }
    }
    if (running) {
      r->queued = true;
      w->reader = r;
      w->changed.notify_all();
    }
  }
  return ok ? r->current.data() : nullptr;
}

void StopBandReader(BandReader* r) {
  if (r == nullptr) return;
  if (ReadAheadWorker* w = r->worker) {
    std::unique_lock<std::mutex> hold(w->lock);
    // A band still queued is not wanted any more; one in work is waited for.
    r->queued = false;
    w->changed.wait(hold, [r] { return !r->working; });
    if (w->reader == r) w->reader = nullptr;
  }
  delete r;
}
