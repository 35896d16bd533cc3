#include "host/cli/Jobs.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/cli/Progress.h"
#include "host/hosting/BandReader.h"
#include "host/hosting/Streams.h"
#include "host/platform/HostSystem.h"

namespace {

bool Stopped() { return ExportsStopped(); }

ExportRequest RequestFor(const BatchPlan& plan, const JobSettings& s, size_t index) {
  const PlannedExport& e = plan.exports[index];
  // The view's look is for standard output alone.
  const ExportLook& look = e.toStandardOutput ? s.streamLook : s.fileLook;
  ExportRequest request;
  request.imagePath = e.image;
  request.documentName = e.documentName;
  request.imageOptions = look.imageOptions;
  request.size = look.size;
  request.maxData = s.maxData;
  request.showDialog = s.showDialog;
  request.step = plan.haveStep ? &plan.step : nullptr;
  if (e.streamDescriptor >= 0) request.streamDescriptor = e.streamDescriptor;
  if (s.pages) {
    // The page gets its text through a folder of its own, also from standard output.
    request.page.wanted = true;
    request.page.path = e.streamDescriptor >= 0 ? "" : e.output;
    request.page.dark = look.dark;
    request.page.colour = s.pageColour;
  } else if (e.streamDescriptor >= 0) {
    request.streamFolder = s.streamFolder;
    request.colour = look.colour;
    request.play = look.play;
  }
  return request;
}

// An export whose image the plan found unreadable is reported so, unrun.
void RunPlanned(PluginSession* session, const PlannedExport& e, const ExportRequest& request,
                ExportOutcome* outcome) {
  if (e.unreadable.empty()) {
    RunExport(session, request, outcome);
    return;
  }
  *outcome = ExportOutcome{};
  outcome->imageError = true;
  outcome->imageMessage = e.unreadable;
}

// The plug-in's globals belong to the session; the host releases them.
void EndSession(PluginSession* session) {
  if (session->dataCell != 0) HostDisposeHandle(reinterpret_cast<Handle>(session->dataCell));
  session->dataCell = 0;
}

// One export at a time on the calling thread, with a bar per image.
void RunInOrder(const BatchPlan& plan, const JobSettings& s, const JobReport& report) {
  PluginSession session;
  session.entry = s.entry;
  ReadAheadWorker* worker = NewReadAheadWorker();
  ProgressBar bar;
  for (size_t i = 0; i < plan.exports.size(); ++i) {
    if (Stopped()) {
      report(i, ExportOutcome{}, true);
      continue;
    }
    ExportRequest request = RequestFor(plan, s, i);
    request.readAhead = worker;
    request.progress = s.progress ? &bar : nullptr;
    ExportOutcome outcome;
    RunPlanned(&session, plan.exports[i], request, &outcome);
    report(i, outcome, false);
  }
  DeleteReadAheadWorker(worker);
  EndSession(&session);
}

struct Slot {
  bool done = false;
  bool skipped = false;
  ExportOutcome outcome;
};

}  // namespace

void RunJobs(const BatchPlan& plan, const JobSettings& s, const JobReport& report) {
  const size_t count = plan.exports.size();
  size_t jobs = s.jobs < 1 ? 1 : static_cast<size_t>(s.jobs);
  if (jobs > count) jobs = count;
  if (jobs <= 1) {
    RunInOrder(plan, s, report);
    return;
  }

  std::vector<Slot> slots(count);
  std::mutex lock;
  std::condition_variable finished;
  std::atomic<size_t> next{0};
  auto work = [&]() {
    LeaveStopSignalsToMainThread();
    PluginSession session;
    session.entry = s.entry;
    ReadAheadWorker* worker = NewReadAheadWorker();
    for (size_t i = next++; i < count; i = next++) {
      Slot result;
      result.skipped = Stopped();
      if (!result.skipped) {
        ExportRequest request = RequestFor(plan, s, i);
        request.readAhead = worker;
        RunPlanned(&session, plan.exports[i], request, &result.outcome);
      }
      std::lock_guard<std::mutex> hold(lock);
      slots[i] = std::move(result);
      slots[i].done = true;
      finished.notify_all();
    }
    DeleteReadAheadWorker(worker);
    EndSession(&session);
  };

  std::vector<std::thread> threads;
  for (size_t t = 0; t < jobs; ++t) {
    try {
      threads.emplace_back(work);
    } catch (...) {
      break;  // fewer threads than asked still finish the batch
    }
  }
  if (threads.empty()) {
    RunInOrder(plan, s, report);
    return;
  }

  ProgressBar bar;
  if (s.progress) StartProgress(&bar, true, "images");
  for (size_t i = 0; i < count; ++i) {
    Slot slot;
    {
      std::unique_lock<std::mutex> hold(lock);
      finished.wait(hold, [&] { return slots[i].done; });
      slot = std::move(slots[i]);
    }
    if (s.progress) EndProgress(&bar);
    report(i, slot.outcome, slot.skipped);
    if (s.progress) UpdateProgress(&bar, static_cast<int32_t>(i + 1), static_cast<int32_t>(count), "images");
  }
  if (s.progress) EndProgress(&bar);
  for (std::thread& t : threads) t.join();
}
