// glyphweave: exports images as character art through the Glyphweave
// plug-in, loading the module and calling its entry point as an image
// editor would.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/cli/Batch.h"
#include "host/cli/Jobs.h"
#include "host/cli/Messages.h"
#include "host/cli/Options.h"
#include "host/cli/StepFile.h"
#include "host/hosting/Exporter.h"
#include "host/hosting/PropertyList.h"
#include "host/hosting/Streams.h"
#include "host/platform/HostSystem.h"
#include "host/view/Colour.h"
#include "host/view/Terminal.h"
#include "host/view/ViewDefaults.h"

namespace {

int UsageError(const std::string& message) {
  PrintMessage(message);
  std::fputs("(glyphweave --help tells more)\n", stderr);
  return 2;
}

int Failure(const std::string& message) {
  PrintMessage(message);
  return 2;
}

// The module's entry point, once the module is checked the way a host checks
// it before listing it; null with a reason otherwise.
PluginEntryProc FindExportEntry(LoadedModule* module, const std::string& path, std::string* error) {
  std::string bytes;
  PropertyListInfo info;
  if (!ReadModulePropertyList(module, &bytes, error)) {
    *error = path + " is not a plug-in module: " + *error;
    return nullptr;
  }
  if (!ParsePropertyList(bytes, &info, error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  if (info.kind != FourCharCode('8', 'B', 'E', 'M')) {
    *error = path + " is not an export module (its kind is '" + FourCharText(info.kind) +
             "', an export module's is '8BEM')";
    return nullptr;
  }
  if (info.entryPoint.empty()) {
    *error = path + " names no entry point";
    return nullptr;
  }
  void* entry = FindModuleFunction(module, info.entryPoint);
  if (entry == nullptr) {
    *error = path + " does not export its entry point " + info.entryPoint;
    return nullptr;
  }
  return reinterpret_cast<PluginEntryProc>(entry);
}

// `fit`: the terminal the text goes to, else COLUMNS and LINES, else 80x24;
// one line is left for the prompt that follows.
SizeBounds ChooseSize(const Options& o, bool fit) {
  SizeBounds size;
  size.columns = o.width;
  size.lines = o.height;
  size.cellAspect = o.cellAspect;
  size.enlarge = o.enlarge;
  if (!fit) return size;
  int columns = 0, lines = 0;
  if (!TerminalSize(stdout, &columns, &lines) && !TerminalSize(stderr, &columns, &lines)) {
    const char* c = std::getenv("COLUMNS");
    const char* l = std::getenv("LINES");
    columns = c != nullptr ? std::atoi(c) : 0;
    lines = l != nullptr ? std::atoi(l) : 0;
    if (columns <= 0) columns = 80;
    if (lines <= 0) lines = 24;
  }
  if (size.columns == 0 || columns < size.columns) size.columns = columns;
  int usable = lines > 1 ? lines - 1 : 1;
  if (size.lines == 0 || usable < size.lines) size.lines = usable;
  return size;
}

struct Tally {
  bool exportFailed = false;
  bool imageUnreadable = false;
  size_t skipped = 0;
  // Some text goes to standard output: the report lines go to standard
  // error then, so that the text stays whole.
  bool reportOnError = false;
};

// An animation of which one frame was exported says so, and how to pick
// another; an animated PNG says that its default image stands for it.
void NoteFrames(const Options& o, const PlannedExport& e, const ExportOutcome& outcome) {
  if (outcome.declaredFrames > 1) {
    PrintMessage(e.image + ": an animated PNG of " + std::to_string(outcome.declaredFrames) +
                 " frames; its default image was exported (this build's libpng reads no animation)");
  } else if (outcome.frames > 1 && o.frame == 0 && !outcome.played) {
    PrintMessage(e.image + ": an animation of " + std::to_string(outcome.frames) +
                 " frames; the first was exported (--frame N exports frame N)");
  }
}

void Report(const Options& o, const PlannedExport& e, const ExportOutcome& outcome, Tally* tally) {
  if (outcome.imageError) {
    PrintMessage(outcome.imageMessage);
    tally->imageUnreadable = true;
    return;
  }
  if (!outcome.outputMessage.empty()) {
    PrintMessage(outcome.outputMessage);
    tally->exportFailed = true;
    return;
  }
  if (outcome.result != kResultOk) {
    // An export cancelled because a stream cannot be written: the reader
    // went away quietly, or the failure is told once at the end.
    bool streamStopped = gOutputClosed != 0 || OutputFailed();
    if (outcome.result == kResultCancelled && streamStopped) return;
    tally->exportFailed = true;
    std::string message = Printable(e.image) + ": " + DescribeResult(outcome.result);
    // A file that cannot be made or written is named, with the reason.
    const std::string& output = !outcome.outputPath.empty() ? outcome.outputPath : e.output;
    bool fileFault = outcome.result == kResultFileOpenError || outcome.result == kResultWriteError;
    if (fileFault && !output.empty()) {
      std::string reason = ExplainOutputFailure(output, outcome.result, outcome.systemError);
      if (e.streamDescriptor < 0) {
        message = Printable(output) + ": " + DescribeResult(outcome.result) + (reason.empty() ? "" : ": " + reason);
      } else {
        // The file that failed is the temporary one the text streams
        // through, in a folder of $TMPDIR the user never named.
        const std::string folder = output.substr(0, output.find_last_of("/\\"));
        message += (reason.empty() ? "" : ": " + reason) + " (the text for " +
                   DescribeDescriptor(e.streamDescriptor) + " passes through a temporary file in " +
                   Printable(folder.substr(0, folder.find_last_of("/\\") + 1)) + ")";
      }
    }
    PrintMessage(message);
    return;
  }
  if (!o.quiet && e.streamDescriptor < 0) {
    std::string line = Printable(e.image) + " -> " + Printable(outcome.outputPath) + "\n";
    if (tally->reportOnError) {
      std::fputs(line.c_str(), stderr);
    } else {
      WriteStandardOutput(line.data(), line.size());
    }
  }
  if (!o.quiet) NoteFrames(o, e, outcome);
}

// The batch the command line asks for, or why it must not start: the step
// played, every refusal, and the notes said before the first export.
bool PlanRun(const Options& o, BatchPlan* plan, std::string* error) {
  RecordedStep played;
  std::vector<std::string> warnings;
  if (!o.playFile.empty() && !LoadStep(o.playFile, &played, error, &warnings)) return false;
  for (const std::string& warning : warnings) PrintMessage(o.playFile + ": " + warning);
  if (!PlanBatch(o, o.playFile.empty() ? nullptr : &played, plan, error)) return false;
  // Known before the first export, not after the last: a step file that
  // cannot be written, or that would replace something other than a step.
  if (!o.recordFile.empty() && !MayRecordStep(o.recordFile, error)) {
    *error = "--record " + *error + "; nothing was exported";
    return false;
  }
  for (const std::string& note : plan->notes) PrintMessage(note);
  if (o.dialog && !HaveTerminalToAsk()) {
    *error = "--dialog asks on the terminal, and there is none here; give the output with -o";
    return false;
  }
  return true;
}

// Where the batch's text goes, and how it looks there.
struct Looks {
  bool toTerminal = false;  // some text goes to standard output, the view's place
  bool streams = false;     // some text is copied to a descriptor as it grows
  ViewFacts facts;
  TextLook file;    // the text the plug-in writes to files and other descriptors
  TextLook stream;  // the text on standard output
};

Looks ChooseLooks(const Options& o, const BatchPlan& plan) {
  Looks looks;
  for (const PlannedExport& e : plan.exports) {
    looks.toTerminal = looks.toTerminal || e.toStandardOutput;
    looks.streams = looks.streams || e.streamDescriptor >= 0;
  }
  looks.facts = GatherViewFacts(o, looks.toTerminal, &gInterrupted);
  looks.file = ChooseFileLook(o);
  looks.stream = ChooseStreamLook(o, looks.facts);
  return looks;
}

// A terminal view plays animations; with several images, each once unless
// told otherwise, fitted again to a terminal resized meanwhile.
PlaySettings ChoosePlay(const Options& o, const BatchPlan& plan, const TextLook& streamLook) {
  PlaySettings play;
  play.plays = o.loop >= 0 ? o.loop : plan.exports.size() > 1 ? 1 : -1;
  play.bounds = [&o, &streamLook] { return ChooseSize(o, streamLook.fit); };
  return play;
}

ExportLook ImageLook(const Options& o, const TextLook& look) {
  ExportLook made;
  made.imageOptions = o.imageOptions;
  made.imageOptions.mode = look.mode;
  made.imageOptions.invert = look.invert;
  made.size = ChooseSize(o, look.fit);
  made.dark = look.dark;
  return made;
}

JobSettings SetUpJobs(const Options& o, PluginEntryProc entry, const Looks& looks) {
  JobSettings settings;
  settings.entry = entry;
  settings.fileLook = ImageLook(o, looks.file);
  settings.streamLook = ImageLook(o, looks.stream);
  settings.maxData = o.maxData;
  settings.showDialog = o.dialog;
  // The dialog asks on the terminal and the text streams in order: one at a time.
  settings.jobs = o.dialog || looks.streams ? 1 : o.jobs > 0 ? o.jobs : UsableProcessors();
  // A bar on the terminal the picture is drawn on would cut through it.
  settings.progress = !o.quiet && IsTerminal(stderr) && !(looks.toTerminal && looks.facts.outputIsTerminal);
  return settings;
}

// What the sinks need: the terminal view's colour and animations, pages,
// and the private folder streamed text passes through.
bool SetUpSinks(const Options& o, const Looks& looks, ColourMapper* colour, const PlaySettings* play,
                JobSettings* settings, std::string* error) {
  ExportLook& stream = settings->streamLook;
  stream.colour = looks.stream.colour != ColourDepth::kNone ? colour : nullptr;
  // Colour rows beside the grey ones: the decoder keeps the colour.
  stream.imageOptions.colour = looks.stream.colour != ColourDepth::kNone;
  // A view plays animations, unless a frame is chosen or a page is asked for.
  if (looks.facts.outputIsTerminal && o.frame == 0 && !o.html) {
    stream.imageOptions.animation = true;
    stream.play = play;
  }
  if (o.html) {
    // A page is not a terminal: coloured only when asked outright, the same
    // wherever it is written, whatever NO_COLOR says; always 24-bit.
    settings->pages = true;
    settings->pageColour = o.colour == ColourWhen::kAlways;
    settings->fileLook.imageOptions.colour = settings->pageColour;
    stream.imageOptions.colour = settings->pageColour;
  }
  return !looks.streams || o.html || MakePrivateFolder(&settings->streamFolder, error);
}

// The step of the last export that succeeded.
struct Recorded {
  RecordedStep step;
  bool have = false;
};

void RunAndReport(const Options& o, const BatchPlan& plan, JobSettings settings, Tally* tally,
                  Recorded* recorded) {
  // --max-memory bounds the whole run: the jobs share one budget.
  MemoryBudget* budget = NewMemoryBudget(o.imageOptions.memoryLimit);
  settings.fileLook.imageOptions.sharedBudget = budget;
  settings.streamLook.imageOptions.sharedBudget = budget;
  RunJobs(plan, settings, [&](size_t i, const ExportOutcome& outcome, bool skipped) {
    if (skipped) {
      ++tally->skipped;
      return;
    }
    Report(o, plan.exports[i], outcome, tally);
    if (outcome.recorded && outcome.result == kResultOk && !outcome.imageError) {
      recorded->step = outcome.step;
      recorded->have = true;
    }
  });
  RemovePrivateFolder(settings.streamFolder);
  RestoreTerminalOutput();
  FreeMemoryBudget(budget);
}

int ExitStatus(const Tally& tally) {
  // Only a reader that went away ends the run quietly, as SIGPIPE would.
  if (gOutputClosed != 0) return 141;
  std::string notExported = tally.skipped == 0 ? std::string()
                            : "; " + std::to_string(tally.skipped) + " image" +
                                  (tally.skipped == 1 ? "" : "s") + " not exported";
  OutputFailure failure;
  bool outputFailed = OutputFailed(&failure);
  if (outputFailed) PrintMessage(WriteFailureMessage(failure.descriptor, failure.error) + notExported);
  if (gInterrupted != 0) {
    if (!outputFailed && !notExported.empty()) PrintMessage("interrupted" + notExported);
    return 128 + gInterrupted;
  }
  if (tally.imageUnreadable) return 2;
  return tally.exportFailed || outputFailed ? 1 : 0;
}

int RunBatch(const Options& o, PluginEntryProc entry) {
  std::string error;
  BatchPlan plan;
  if (!PlanRun(o, &plan, &error)) return Failure(error);
  const Looks looks = ChooseLooks(o, plan);
  ColourMapper colour(looks.stream.colour);
  const PlaySettings play = ChoosePlay(o, plan, looks.stream);
  JobSettings settings = SetUpJobs(o, entry, looks);
  if (!SetUpSinks(o, looks, &colour, &play, &settings, &error)) return Failure(error);

  Tally tally;
  tally.reportOnError = looks.toTerminal;
  Recorded recorded;
  RunAndReport(o, plan, settings, &tally, &recorded);
  if (!o.recordFile.empty() && recorded.have && !SaveStep(o.recordFile, recorded.step, &error)) {
    PrintMessage("the step was not recorded: " + error);
    tally.exportFailed = true;
  }
  return ExitStatus(tally);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a closed standard stream keeps its number.
  PrepareStandardStreams();
  Options o;
  std::string text;
  switch (ParseOptions(argc, argv, &o, &text)) {
    case ParseOutcome::kDone: {
      OutputFailure failure;
      if (WriteStandardOutput(text.data(), text.size())) return 0;
      if (!OutputFailed(&failure)) return 141;  // the reader went away
      PrintMessage(WriteFailureMessage(failure.descriptor, failure.error));
      return 1;
    }
    case ParseOutcome::kUsageError:
      return UsageError(text);
    case ParseOutcome::kRun:
      break;
  }
  ReturnFreedMemoryPromptly();

  std::string error;
  const std::string path = o.plugin.empty() ? DefaultModulePath() : o.plugin;
  LoadedModule* module = LoadPluginModule(path, &error);
  PluginEntryProc entry = module != nullptr ? FindExportEntry(module, path, &error) : nullptr;
  if (entry == nullptr) {
    UnloadPluginModule(module);
    return Failure(error);
  }

  int status = 0;
  if (o.about) {
    AboutRecord about{};
    PlatformData platform{};
    about.platformData = &platform;
    int16_t result = 0;
    intptr_t dataCell = 0;
    entry(kSelectorAbout, &about, &dataCell, &result);
  } else {
    CatchStopSignals(&gInterrupted);
    status = RunBatch(o, entry);
  }
  UnloadPluginModule(module);
  return status;
}
