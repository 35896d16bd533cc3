#include "host/cli/Batch.h"

#include "host/cli/Messages.h"
#include "host/image/ImageInput.h"
#include "host/platform/HostSystem.h"
#include "output/PathSplit.h"
#include "scripting/RecordedParameters.h"

const char* const kStandardInputName = "stdin";

namespace {

bool EndsInSeparator(const std::string& path) {
  return !path.empty() && IsPathSeparator(path.back());
}

std::string FolderAndBase(const std::string& path, std::string* base) {
  PathSplit split = SplitPath(path.data(), path.size());
  *base = path.substr(split.baseStart, split.extensionStart - split.baseStart);
  return path.substr(0, split.baseStart);
}

// -o names a folder when it ends in a separator or is one.
std::string AsFolder(const std::string& path) {
  if (EndsInSeparator(path) || !IsFolder(path)) return path;
  return path + NativeSeparator();
}

const std::string* RecordedOutput(const RecordedStep& step) {
  for (const StepParameter& p : step.parameters) {
    if (p.key == kKeyOutputPath) return &p.alias;
  }
  return nullptr;
}

// Identity when the file system can tell, the path itself otherwise.
std::string Identity(const std::string& path) {
  std::string id = FileIdentity(path);
  return id.empty() ? "path:" + path : id;
}

}  // namespace

std::string ComposeOutputPath(const std::string& target, const std::string& documentName,
                              OutputKind kind) {
  const char* extension = kind == OutputKind::kPage ? ".html" : ".txt";
  std::string base;
  std::string folder = FolderAndBase(documentName, &base);
  if (target.empty()) return folder + base + extension;
  if (EndsInSeparator(target)) return target + base + extension;
  // The page is the host's own file, written where it is told; the plug-in
  // gives any file its own extension.
  if (kind == OutputKind::kPage) return target;
  std::string namedBase;
  std::string namedFolder = FolderAndBase(target, &namedBase);
  return namedFolder + namedBase + extension;
}

namespace {

// Where the texts go as -o or a replayed step says, before any image is
// looked at.
struct Destination {
  // The descriptor every text streams to when -o or the step names one
  // (-, /dev/stdout, /dev/fd/N) rather than a path; -1 otherwise.
  int stream = -1;
  const std::string* recorded = nullptr;  // the step's output path, in the plan's step
  std::string pageTarget;                 // -o for the pages; "" beside each image
};

bool ChooseDestination(const Options& o, const RecordedStep* played, BatchPlan* plan, Destination* d,
                       std::string* error) {
  const size_t count = o.images.size();
  d->stream = !o.haveOutput ? -1 : o.ToStandardOutput() ? 1 : DescriptorNamedBy(o.output);
  if (played != nullptr) {
    plan->step = *played;
    plan->haveStep = true;
  } else if (o.haveOutput && d->stream < 0) {
    std::string path = AsFolder(o.output);
    if (count > 1 && !EndsInSeparator(path)) {
      *error = "-o names one file (" + Printable(o.output) + ") but " + std::to_string(count) +
               " images are given; give a folder (ending in '/')";
      return false;
    }
    if (o.html) {
      d->pageTarget = path;
    } else if (path.size() > 255) {
      *error = "the output path is longer than 255 bytes";
      return false;
    } else {
      plan->step.parameters.push_back(StepParameter{kKeyOutputPath, path});
      plan->haveStep = true;
    }
  }
  d->recorded = plan->haveStep ? RecordedOutput(plan->step) : nullptr;
  const std::string* recorded = d->recorded;
  // A replayed step may name a descriptor too; the dialog only proposes it.
  if (d->stream < 0 && recorded != nullptr && !o.dialog) d->stream = DescriptorNamedBy(*recorded);
  if (d->stream < 0 && recorded != nullptr && !EndsInSeparator(*recorded) && count > 1 && !o.dialog) {
    *error = "the step in " + Printable(o.playFile) + " names one file (" + Printable(*recorded) +
             ") but " + std::to_string(count) + " images are given; replay a step that records a folder";
    return false;
  }
  return true;
}

PlannedExport PlanExport(const Options& o, const BatchPlan& plan, const Destination& d,
                         const std::string& image) {
  PlannedExport e;
  e.image = image;
  e.documentName = image == "-" ? kStandardInputName : image;
  // Standard input and a process substitution (<(...), /dev/fd/63) have
  // no folder of their own to write beside: their text comes back on
  // standard output.
  bool fromDescriptor = image == "-" || DescriptorNamedBy(image) >= 0;
  e.streamDescriptor = d.stream >= 0                                                     ? d.stream
                       : fromDescriptor && !o.haveOutput && !plan.haveStep && !o.dialog ? 1
                                                                                         : -1;
  e.toStandardOutput = e.streamDescriptor == 1;
  e.page = o.html;
  if (e.page && e.streamDescriptor < 0) {
    e.output = ComposeOutputPath(d.pageTarget, e.documentName, OutputKind::kPage);
  } else if (e.streamDescriptor < 0 && !o.dialog) {
    e.output = ComposeOutputPath(d.recorded ? *d.recorded : "", e.documentName, OutputKind::kText);
  }
  return e;
}

// Refusals that need only the names: a step to record where the text
// streams, and files in the system's folders of devices and processes.
bool RefuseByName(const Options& o, const BatchPlan& plan, const Destination& d, std::string* error) {
  if (!o.recordFile.empty()) {
    for (const PlannedExport& e : plan.exports) {
      if (e.streamDescriptor < 0) continue;
      *error = "--record has no output path to record when the text goes to " +
               DescribeDescriptor(e.streamDescriptor);
      return false;
    }
  }
  // Those folders hold no files of ours: -o /dev/stdout.txt, or NAME.txt
  // beside an image there.
  for (const PlannedExport& e : plan.exports) {
    std::string system = e.output.empty() ? std::string() : SystemFolderOf(e.output);
    if (system.empty()) continue;
    std::string what = o.haveOutput ? "-o " + Printable(o.output)
                       : d.recorded ? "the step in " + Printable(o.playFile)
                                    : Printable(e.image);
    *error = what + ": no file is made in " + system + " (the " + (e.page ? "page" : "text") +
             " would go to " + Printable(e.output) +
             "); give -o a file or folder elsewhere, or -o - for standard output";
    return false;
  }
  return true;
}

// The files of the batch by identity, so that two names of one file are
// one; "" where there is none (standard input, a stream, the dialog's
// choice).
struct FileIds {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

// What is wrong with a file that is no image is that: it writes nothing
// and collides with nothing. Only files whose text would collide are
// looked at, and those that are no image are marked unreadable and lose
// their output.
FileIds IdentifyFiles(BatchPlan* plan) {
  FileIds ids;
  for (const PlannedExport& e : plan->exports) ids.inputs.push_back(e.image == "-" ? "" : Identity(e.image));
  for (const PlannedExport& e : plan->exports) {
    ids.outputs.push_back(e.output.empty() ? "" : Identity(e.output));
  }
  const size_t count = plan->exports.size();
  for (size_t i = 0; i < count; ++i) {
    if (ids.outputs[i].empty()) continue;
    bool collides = false;
    for (size_t k = 0; k < count; ++k) {
      collides = collides || ids.inputs[k] == ids.outputs[i] || (k != i && ids.outputs[k] == ids.outputs[i]);
    }
    PlannedExport& e = plan->exports[i];
    if (collides && !ProbeImageFile(e.image.c_str(), &e.unreadable)) ids.outputs[i].clear();
  }
  return ids;
}

// Two texts into one file, or a text over an input.
bool RefuseCollisions(const BatchPlan& plan, const FileIds& ids, std::string* error) {
  const size_t count = plan.exports.size();
  for (size_t i = 0; i < count; ++i) {
    const PlannedExport& e = plan.exports[i];
    if (ids.outputs[i].empty()) continue;
    for (size_t k = 0; k < i; ++k) {
      if (ids.outputs[k] != ids.outputs[i]) continue;
      *error = Printable(plan.exports[k].image) + " and " + Printable(e.image) +
               " would both be written to " + Printable(e.output) + "; nothing was exported";
      return false;
    }
    for (size_t k = 0; k < count; ++k) {
      if (ids.inputs[k] != ids.outputs[i]) continue;
      const std::string what = e.page ? "page" : "text";
      *error = k == i ? Printable(e.image) + " would be written over itself (the " + what + " goes to " +
                            Printable(e.output) + "); give another output with -o"
                      : "the " + what + " of " + Printable(e.image) + " would be written over the input " +
                            Printable(plan.exports[k].image) + " (" + Printable(e.output) + ")";
      return false;
    }
  }
  return true;
}

// A step file (`option` names it) that is also an input or an output.
bool RefuseStepFile(const std::string& file, const char* option, const BatchPlan& plan,
                    const FileIds& ids, std::string* error) {
  if (file.empty()) return true;
  std::string id = Identity(file);
  for (size_t k = 0; k < plan.exports.size(); ++k) {
    if (id == ids.inputs[k]) {
      *error = std::string(option) + " " + Printable(file) + " is also an input image";
      return false;
    }
    if (id == ids.outputs[k]) {
      *error = std::string(option) + " " + Printable(file) + " is also the output of " +
               Printable(plan.exports[k].image);
      return false;
    }
  }
  return true;
}

}  // namespace

bool PlanBatch(const Options& o, const RecordedStep* played, BatchPlan* plan, std::string* error) {
  *plan = BatchPlan{};
  Destination d;
  if (!ChooseDestination(o, played, plan, &d, error)) return false;
  for (const std::string& image : o.images) plan->exports.push_back(PlanExport(o, *plan, d, image));
  if (!RefuseByName(o, *plan, d, error)) return false;

  // A name the user gave that the plug-in will not use as it stands.
  const std::string* recorded = d.recorded;
  if (recorded != nullptr && !EndsInSeparator(*recorded) && !o.dialog && !plan->exports.empty() &&
      plan->exports[0].output != *recorded) {
    plan->notes.push_back("the plug-in writes .txt files: " + Printable(*recorded) + " becomes " +
                          Printable(plan->exports[0].output));
  }

  const FileIds ids = IdentifyFiles(plan);
  return RefuseCollisions(*plan, ids, error) && RefuseStepFile(o.recordFile, "--record", *plan, ids, error) &&
         RefuseStepFile(o.playFile, "--play", *plan, ids, error);
}
