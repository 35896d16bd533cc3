// glyphweave: exports images as character art through the Glyphweave
// plug-in, loading the module and calling its entry point as an image
// editor would.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/Exporter.h"
#include "host/PropertyList.h"
#include "host/StepFile.h"
#include "host/platform/HostSystem.h"
#include "scripting/RecordedParameters.h"

namespace {

const char* kVersion = "0.1.0";

const char* kUsage =
    "usage: glyphweave [options] IMAGE...\n"
    "\n"
    "Writes each IMAGE as character art: one line of text per pixel row, one\n"
    "character per sample (three per pixel for RGB). Without -o the text lands\n"
    "beside each image as NAME.txt.\n"
    "\n"
    "options:\n"
    "  -o, --output PATH   write to PATH; a folder when it ends in '/' (or is one)\n"
    "      --dialog        choose the output file in the plug-in's Save As dialog\n"
    "      --record FILE   save the recorded step (JSON) after a successful export\n"
    "      --play FILE     replay a recorded step (its path) for every IMAGE\n"
    "      --mode MODE     gray, indexed, rgb, cmyk, lab, hsb, hsl, multichannel,\n"
    "                      duotone or bitmap (default: the image's own)\n"
    "      --keep-alpha    add alpha as the last plane instead of compositing it\n"
    "                      over white\n"
    "      --max-data N    bytes of image data offered per band (default 4194304)\n"
    "      --plugin PATH   the plug-in module (default: beside this program)\n"
    "      --about         show the plug-in's About box\n"
    "  -q, --quiet         no progress bar, no report of where the text went\n"
    "      --help, --version\n"
    "\n"
    "Images wider or taller than 32767 pixels are refused: the plug-in\n"
    "interface counts rows and columns in 16 bits.\n"
    "\n"
    "Exit status: 0 when every export succeeded, 1 when an export failed,\n"
    "2 for bad usage or an image that cannot be read.\n";

struct Options {
  std::vector<std::string> images;
  std::string output;
  bool haveOutput = false;
  bool dialog = false;
  std::string recordFile;
  std::string playFile;
  ImageOptions imageOptions;
  int32_t maxData = 4 * 1024 * 1024;
  std::string plugin;
  bool about = false;
  bool quiet = false;
};

void OnInterrupt(int) {
  // A second Ctrl-C ends the program at once, whatever the plug-in does.
  if (gInterrupted != 0) {
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
    return;
  }
  gInterrupted = 1;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "glyphweave: %s\n(glyphweave --help tells more)\n", message.c_str());
  return 2;
}

// Returns -1 when parsing succeeded, otherwise the exit status.
int ParseArguments(int argc, char** argv, Options* o) {
  bool onlyImages = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (onlyImages || arg.empty() || arg[0] != '-' || arg == "-") {
      o->images.push_back(arg);
    } else if (arg == "--") {
      onlyImages = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::printf("\n%s", ImageInputHelp());
      return 0;
    } else if (arg == "--version") {
      std::printf("glyphweave %s\n", kVersion);
      return 0;
    } else if (arg == "-o" || arg == "--output") {
      if (!value(&o->output)) return UsageError(arg + " needs a path");
      if (o->output.empty()) return UsageError(arg + " needs a path");
      o->haveOutput = true;
    } else if (arg == "--dialog") {
      o->dialog = true;
    } else if (arg == "--record") {
      if (!value(&o->recordFile)) return UsageError("--record needs a file");
    } else if (arg == "--play") {
      if (!value(&o->playFile)) return UsageError("--play needs a file");
    } else if (arg == "--mode") {
      std::string mode;
      if (!value(&mode)) return UsageError("--mode needs a mode");
      if (!ParseImageMode(mode.c_str(), &o->imageOptions.mode)) return UsageError("unknown mode '" + mode + "'");
    } else if (arg == "--keep-alpha") {
      o->imageOptions.keepAlpha = true;
    } else if (arg == "--max-data") {
      std::string n;
      if (!value(&n)) return UsageError("--max-data needs a number of bytes");
      char* end = nullptr;
      long long bytes = std::strtoll(n.c_str(), &end, 10);
      if (end == n.c_str() || *end != '\0' || bytes < 1 || bytes > 0x7FFFFFFF) {
        return UsageError("--max-data takes a number of bytes from 1 to 2147483647");
      }
      o->maxData = static_cast<int32_t>(bytes);
    } else if (arg == "--plugin") {
      if (!value(&o->plugin)) return UsageError("--plugin needs a path");
    } else if (arg == "--about") {
      o->about = true;
    } else if (arg == "-q" || arg == "--quiet") {
      o->quiet = true;
    } else {
      return UsageError("unknown option " + arg);
    }
  }
  if (o->about) return -1;
  if (o->images.empty()) return UsageError("no image given");
  if (o->haveOutput && !o->playFile.empty()) return UsageError("-o and --play both give the output path");
  if (o->haveOutput && o->dialog) return UsageError("-o and --dialog both give the output path");
  return -1;
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

std::string AsFolder(const std::string& path) {
  char last = path.back();
  if (last == '/' || last == '\\' || !IsFolder(path)) return path;
  return path + NativeSeparator();
}

int Run(const Options& o, PluginSession& session) {
  std::string error;
  PluginEntryProc entry = session.entry;

  if (o.about) {
    AboutRecord about{};
    PlatformData platform{};
    about.platformData = &platform;
    int16_t result = 0;
    entry(kSelectorAbout, &about, &session.dataCell, &result);
    return 0;
  }

  RecordedStep step;
  bool haveStep = false;
  if (!o.playFile.empty()) {
    if (!LoadStep(o.playFile, &step, &error)) {
      std::fprintf(stderr, "glyphweave: %s\n", error.c_str());
      return 2;
    }
    haveStep = true;
  } else if (o.haveOutput) {
    std::string path = AsFolder(o.output);
    char last = path.back();
    if (o.images.size() > 1 && last != '/' && last != '\\') {
      return UsageError("-o names one file but " + std::to_string(o.images.size()) +
                        " images are given; give a folder (ending in '/')");
    }
    if (path.size() > 255) return UsageError("the output path is longer than 255 bytes");
    step.parameters.push_back(StepParameter{kKeyOutputPath, path});
    haveStep = true;
  }

  std::signal(SIGINT, OnInterrupt);
  bool anyExportFailed = false;
  bool anyImageUnreadable = false;
  for (const std::string& image : o.images) {
    if (gInterrupted != 0) {
      std::fprintf(stderr, "glyphweave: %s: skipped, interrupted\n", image.c_str());
      anyExportFailed = true;
      continue;
    }
    ExportRequest request;
    request.imagePath = image;
    request.imageOptions = o.imageOptions;
    request.maxData = o.maxData;
    request.showDialog = o.dialog;
    request.step = haveStep ? &step : nullptr;
    request.progressBar = !o.quiet && IsTerminal(stderr);
    ExportOutcome outcome;
    RunExport(&session, request, &outcome);

    if (outcome.imageError) {
      std::fprintf(stderr, "glyphweave: %s\n", outcome.imageMessage.c_str());
      anyImageUnreadable = true;
      continue;
    }
    if (outcome.result != kResultOk) {
      std::fprintf(stderr, "glyphweave: %s: %s\n", image.c_str(), DescribeResult(outcome.result).c_str());
      anyExportFailed = true;
      continue;
    }
    if (!o.quiet) std::printf("%s -> %s\n", image.c_str(), outcome.outputPath.c_str());
    if (!o.recordFile.empty() && outcome.recorded) {
      if (!SaveStep(o.recordFile, outcome.step, &error)) {
        std::fprintf(stderr, "glyphweave: %s\n", error.c_str());
        anyExportFailed = true;
      }
    }
  }
  if (anyImageUnreadable) return 2;
  return anyExportFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int status = ParseArguments(argc, argv, &o);
  if (status >= 0) return status;

  std::string error;
  const std::string path = o.plugin.empty() ? DefaultModulePath() : o.plugin;
  LoadedModule* module = LoadPluginModule(path, &error);
  PluginSession session;
  session.entry = module != nullptr ? FindExportEntry(module, path, &error) : nullptr;
  if (session.entry == nullptr) {
    std::fprintf(stderr, "glyphweave: %s\n", error.c_str());
    UnloadPluginModule(module);
    return 2;
  }
  status = Run(o, session);
  // The plug-in's globals are the host's to release once it is done with
  // the plug-in.
  if (session.dataCell != 0) HostDisposeHandle(reinterpret_cast<Handle>(session.dataCell));
  UnloadPluginModule(module);
  return status;
}
