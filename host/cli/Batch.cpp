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

std::string ComposeOutputPath(const std::string& recorded, const std::string& documentName) {
  std::string documentBase;
  std::string documentFolder = FolderAndBase(documentName, &documentBase);
  if (recorded.empty()) return documentFolder + documentBase + ".txt";
  if (EndsInSeparator(recorded)) return recorded + documentBase + ".txt";
  std::string base;
  std::string folder = FolderAndBase(recorded, &base);
  return folder + base + ".txt";
}

std::string ComposePagePath(const std::string& target, const std::string& documentName) {
  std::string base;
  std::string folder = FolderAndBase(documentName, &base);
  if (target.empty()) return folder + base + ".html";
  if (EndsInSeparator(target)) return target + base + ".html";
  return target;
}

bool PlanBatch(const Options& o, const RecordedStep* played, BatchPlan* plan, std::string* error) {
  *plan = BatchPlan{};
  const size_t count = o.images.size();
  std::string pageTarget;  // -o for the pages
  // Where every text streams when -o names a descriptor (-, /dev/stdout,
  // /dev/fd/N) rather than a path.
  int outputStream = !o.haveOutput ? -1 : o.ToStandardOutput() ? 1 : DescriptorNamedBy(o.output);
  if (played != nullptr) {
    plan->step = *played;
    plan->haveStep = true;
  } else if (o.haveOutput && outputStream < 0) {
    std::string path = AsFolder(o.output);
    if (count > 1 && !EndsInSeparator(path)) {
      *error = "-o names one file (" + Printable(o.output) + ") but " + std::to_string(count) +
               " images are given; give a folder (ending in '/')";
      return false;
    }
    if (o.html) {
      pageTarget = path;
    } else if (path.size() > 255) {
      *error = "the output path is longer than 255 bytes";
      return false;
    } else {
      plan->step.parameters.push_back(StepParameter{kKeyOutputPath, path});
      plan->haveStep = true;
    }
  }
  const std::string* recorded = plan->haveStep ? RecordedOutput(plan->step) : nullptr;
  // A replayed step may name a descriptor too; the dialog only proposes it.
  if (outputStream < 0 && recorded != nullptr && !o.dialog) outputStream = DescriptorNamedBy(*recorded);
  if (outputStream < 0 && recorded != nullptr && !EndsInSeparator(*recorded) && count > 1 && !o.dialog) {
    *error = "the step in " + Printable(o.playFile) + " names one file (" + Printable(*recorded) + ") but " +
             std::to_string(count) + " images are given; replay a step that records a folder";
    return false;
  }

  for (const std::string& image : o.images) {
    PlannedExport e;
    e.image = image;
    e.documentName = image == "-" ? kStandardInputName : image;
    // Standard input and a process substitution (<(...), /dev/fd/63) have
    // no folder of their own to write beside: their text comes back on
    // standard output.
    bool fromDescriptor = image == "-" || DescriptorNamedBy(image) >= 0;
    e.streamDescriptor = outputStream >= 0                                               ? outputStream
                         : fromDescriptor && !o.haveOutput && !plan->haveStep && !o.dialog ? 1
                                                                                           : -1;
    e.toStandardOutput = e.streamDescriptor == 1;
    e.page = o.html;
    if (e.page && e.streamDescriptor < 0) {
      e.output = ComposePagePath(pageTarget, e.documentName);
    } else if (e.streamDescriptor < 0 && !o.dialog) {
      e.output = ComposeOutputPath(recorded ? *recorded : "", e.documentName);
    }
    plan->exports.push_back(e);
  }

  if (!o.recordFile.empty()) {
    for (const PlannedExport& e : plan->exports) {
      if (e.streamDescriptor < 0) continue;
      *error = "--record has no output path to record when the text goes to " + DescribeDescriptor(e.streamDescriptor);
      return false;
    }
  }

  // The system's folders of devices and processes hold no files of ours:
  // -o /dev/stdout.txt, or NAME.txt beside an image there.
  for (const PlannedExport& e : plan->exports) {
    std::string system = e.output.empty() ? std::string() : SystemFolderOf(e.output);
    if (system.empty()) continue;
    std::string what = o.haveOutput ? "-o " + Printable(o.output)
                       : recorded   ? "the step in " + Printable(o.playFile)
                                    : Printable(e.image);
    *error = what + ": no file is made in " + system + " (the " + (e.page ? "page" : "text") + " would go to " +
             Printable(e.output) +
             "); give -o a file or folder elsewhere, or -o - for standard output";
    return false;
  }

  // A name the user gave that the plug-in will not use as it stands.
  if (recorded != nullptr && !EndsInSeparator(*recorded) && !o.dialog && !plan->exports.empty() &&
      plan->exports[0].output != *recorded) {
    plan->notes.push_back("the plug-in writes .txt files: " + Printable(*recorded) + " becomes " +
                          Printable(plan->exports[0].output));
  }

  std::vector<std::string> inputIds;
  for (const PlannedExport& e : plan->exports) inputIds.push_back(e.image == "-" ? "" : Identity(e.image));
  std::vector<std::string> outputIds;
  for (const PlannedExport& e : plan->exports) outputIds.push_back(e.output.empty() ? "" : Identity(e.output));
  // What is wrong with a file that is no image is that: it writes nothing
  // and collides with nothing. Only files whose text would collide are
  // looked at.
  for (size_t i = 0; i < count; ++i) {
    if (outputIds[i].empty()) continue;
    bool collides = false;
    for (size_t k = 0; k < count; ++k) {
      collides = collides || inputIds[k] == outputIds[i] || (k != i && outputIds[k] == outputIds[i]);
    }
    PlannedExport& e = plan->exports[i];
    if (collides && !ProbeImageFile(e.image.c_str(), &e.unreadable)) outputIds[i].clear();
  }
  for (size_t i = 0; i < count; ++i) {
    const PlannedExport& e = plan->exports[i];
    if (outputIds[i].empty()) continue;
    for (size_t k = 0; k < i; ++k) {
      if (outputIds[k] != outputIds[i]) continue;
      *error = Printable(plan->exports[k].image) + " and " + Printable(e.image) + " would both be written to " +
               Printable(e.output) + "; nothing was exported";
      return false;
    }
    for (size_t k = 0; k < count; ++k) {
      if (inputIds[k] != outputIds[i]) continue;
      const std::string what = e.page ? "page" : "text";
      *error = k == i ? Printable(e.image) + " would be written over itself (the " + what + " goes to " +
                            Printable(e.output) + "); give another output with -o"
                      : "the " + what + " of " + Printable(e.image) + " would be written over the input " +
                            Printable(plan->exports[k].image) + " (" + Printable(e.output) + ")";
      return false;
    }
  }
  auto checkStepFile = [&](const std::string& file, const char* option) {
    if (file.empty()) return true;
    std::string id = Identity(file);
    for (size_t k = 0; k < count; ++k) {
      if (id == inputIds[k]) {
        *error = std::string(option) + " " + Printable(file) + " is also an input image";
        return false;
      }
      if (id == outputIds[k]) {
        *error = std::string(option) + " " + Printable(file) + " is also the output of " +
                 Printable(plan->exports[k].image);
        return false;
      }
    }
    return true;
  };
  return checkStepFile(o.recordFile, "--record") && checkStepFile(o.playFile, "--play");
}
