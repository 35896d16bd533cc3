#include "host/hosting/BandReader.h"

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
  bool colour = false;
  std::vector<uint8_t> current;  // what the plug-in is reading
  std::vector<uint8_t> currentColour;

  // Shared with the worker, under its lock.
  bool queued = false;   // `aheadArea` is to be decoded
  bool working = false;  // the worker is decoding it
  bool ready = false;    // `ahead` holds `aheadArea`, or its failure
  BandArea aheadArea{};
  std::vector<uint8_t> ahead;
  std::vector<uint8_t> aheadColour;
  bool aheadOk = false;
  std::string aheadError;
};

namespace {

bool SameArea(const BandArea& a, const BandArea& b) {
  return a.top == b.top && a.bottom == b.bottom && a.left == b.left && a.right == b.right &&
         a.loPlane == b.loPlane && a.hiPlane == b.hiPlane && a.rowBytes == b.rowBytes;
}

// `colour` null: the samples alone.
bool Decode(ImageFile* image, const BandArea& area, std::vector<uint8_t>* into, std::vector<uint8_t>* colour,
            std::string* error) {
  into->resize(area.bytes);
  ColourRows rows;
  if (colour != nullptr) {
    rows.rowBytes = (area.right - area.left) * 3;
    colour->resize(static_cast<size_t>(rows.rowBytes) * static_cast<size_t>(area.bottom - area.top));
    rows.dest = colour->data();
  }
  return ReadImageRows(image, area.top, area.bottom, area.left, area.right, area.loPlane,
                       area.hiPlane, into->data(), area.rowBytes, error, colour != nullptr ? &rows : nullptr);
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
    bool ok = Decode(r->image, area, &r->ahead, r->colour ? &r->aheadColour : nullptr, &error);
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

BandReader* StartBandReader(ImageFile* image, int32_t imageHeight, ReadAheadWorker* worker, bool colour) {
  auto* r = new BandReader;
  r->image = image;
  r->imageHeight = imageHeight;
  r->worker = worker;
  r->colour = colour;
  return r;
}

const uint8_t* BandColour(const BandReader* r) { return r->colour ? r->currentColour.data() : nullptr; }

const uint8_t* ReadBand(BandReader* r, const BandArea& area, std::string* error) {
  ReadAheadWorker* w = r->worker;
  std::vector<uint8_t>* colour = r->colour ? &r->currentColour : nullptr;
  if (w == nullptr) return Decode(r->image, area, &r->current, colour, error) ? r->current.data() : nullptr;

  std::unique_lock<std::mutex> hold(w->lock);
  // The image is the worker's until its band is done.
  w->changed.wait(hold, [r] { return !r->queued && !r->working; });
  bool ok = false;
  if (r->ready && SameArea(r->aheadArea, area)) {
    r->current.swap(r->ahead);
    r->currentColour.swap(r->aheadColour);
    ok = r->aheadOk;
    if (!ok) *error = r->aheadError;
    r->ready = false;
  } else {
    r->ready = false;
    hold.unlock();
    ok = Decode(r->image, area, &r->current, colour, error);
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
