#include "host/BandReader.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

struct BandReader {
  ImageFile* image = nullptr;
  int32_t imageHeight = 0;
  bool readAhead = false;
  std::vector<uint8_t> current;  // what the plug-in is reading

  // Shared with the worker, under `lock`.
  std::mutex lock;
  std::condition_variable changed;
  bool stop = false;
  bool queued = false;   // `aheadArea` is to be decoded
  bool working = false;  // the worker is decoding it
  bool ready = false;    // `ahead` holds `aheadArea`, or its failure
  BandArea aheadArea{};
  std::vector<uint8_t> ahead;
  bool aheadOk = false;
  std::string aheadError;
  std::thread worker;
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

void Work(BandReader* r) {
  std::unique_lock<std::mutex> hold(r->lock);
  for (;;) {
    r->changed.wait(hold, [r] { return r->stop || r->queued; });
    if (r->stop) return;
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
    r->changed.notify_all();
  }
}

}  // namespace

BandReader* StartBandReader(ImageFile* image, int32_t imageHeight, bool readAhead) {
  auto* r = new BandReader;
  r->image = image;
  r->imageHeight = imageHeight;
  r->readAhead = readAhead;
  if (readAhead) r->worker = std::thread(Work, r);
  return r;
}

const uint8_t* ReadBand(BandReader* r, const BandArea& area, std::string* error) {
  std::unique_lock<std::mutex> hold(r->lock);
  // The image is the worker's until its band is done.
  r->changed.wait(hold, [r] { return !r->queued && !r->working; });
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
  if (ok && r->readAhead && area.bottom < r->imageHeight) {
    BandArea next = area;
    int32_t height = area.bottom - area.top;
    next.top = area.bottom;
    next.bottom = r->imageHeight - area.bottom > height ? area.bottom + height : r->imageHeight;
    next.bytes = static_cast<size_t>(next.bottom - next.top) * static_cast<size_t>(area.rowBytes);
    r->aheadArea = next;
    r->queued = true;
    r->changed.notify_all();
  }
  return ok ? r->current.data() : nullptr;
}

void StopBandReader(BandReader* r) {
  if (r == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(r->lock);
    r->stop = true;
    r->changed.notify_all();
  }
  if (r->worker.joinable()) r->worker.join();
  delete r;
}
