#include "host/cli/Options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "GlyphweaveVersion.h"
#include "host/platform/HostSystem.h"

namespace {

const char* kUsage =
    "usage: glyphweave [options] IMAGE...\n"
    "\n"
    "Writes each IMAGE as character art through the Glyphweave plug-in: one line\n"
    "of text per pixel row, one character per sample (three per pixel for RGB).\n"
    "Without -o the text lands beside each image as NAME.txt. IMAGE '-' reads\n"
    "the image from standard input (any format, also a pipe); without -o its\n"
    "text goes to standard output, as does that of a process substitution\n"
    "such as <(curl ...).\n"
    "\n"
    "When the text goes to standard output and that is a terminal (-o -, or\n"
    "IMAGE '-' without -o), it is a view: the picture fits the terminal unless\n"
    "--width or --height is given, has one character per pixel (gray) unless\n"
    "--mode is given, is in colour, and is inverted on a dark background. To a\n"
    "pipe or a file the text stays the plug-in's exact export of the image as\n"
    "it is, unless asked otherwise.\n"
    "\n"
    "Output:\n"
    "  -o, --output PATH     write to PATH: a file, a folder (when PATH ends in '/'\n"
    "                        or is an existing folder: one NAME.txt per image),\n"
    "                        '-' or /dev/stdout for standard output, /dev/fd/N\n"
    "                        for descriptor N. The plug-in always writes .txt\n"
    "                        files: another extension is replaced. No file is\n"
    "                        made in /dev or /proc.\n"
    "      --dialog          choose the output file in the plug-in's Save As\n"
    "                        dialog (on the terminal)\n"
    "      --record FILE     save the recorded step (JSON) after a successful export\n"
    "      --play FILE       replay a recorded step for every IMAGE\n"
    "      --html            write a web page holding the text instead (NAME.html,\n"
    "                        or the file -o names; '-o -' for standard output) at\n"
    "                        the size and mode the text would have, on the\n"
    "                        background of --background; coloured (24-bit) only\n"
    "                        with --color or --color=always\n"
    "Picture:\n"
    "      --mode MODE       gray, indexed, rgb, cmyk, lab, hsb, hsl, multichannel,\n"
    "                        duotone or bitmap (default: the image's own; see below)\n"
    "      --keep-alpha      alpha as the last plane instead of compositing it\n"
    "                        over white\n"
    "      --width N         at most N characters per line (all planes counted)\n"
    "      --height N        at most N lines\n"
    "      --fit             fit the terminal (its size, else COLUMNS and LINES,\n"
    "                        else 80x24)\n"
    "      --cell-aspect R   how many times taller than wide a character cell is\n"
    "                        (default 2); sizing keeps the picture's proportions\n"
    "      --enlarge         let sizing enlarge the image (it only shrinks)\n"
    "      --invert          invert the samples (for dark terminals); on a dark\n"
    "                        background (see --background) it turns them back\n"
    "      --frame N         frame N of an animation (GIF, WebP, JPEG XL),\n"
    "                        counted from 1, composited as a browser shows it\n"
    "                        (default: the first; a terminal view plays them)\n"
    "Terminal view:\n"
    "      --color[=WHEN]    colour the text on standard output: auto (the\n"
    "                        default: on a terminal, unless NO_COLOR is set),\n"
    "                        always (also --color alone) or never\n"
    "      --color-depth D   16, 256 or truecolor (default: truecolor when\n"
    "                        COLORTERM says so, else the terminal's colours in\n"
    "                        terminfo; 256 for --color=always when none is told)\n"
    "      --background B    auto (the default: ask the terminal, else\n"
    "                        COLORFGBG, else dark; light when the text does not\n"
    "                        go to a terminal), dark (samples inverted) or light\n"
    "      --loop N          play an animation N times (0: until Ctrl-C); by\n"
    "                        default as many as the file says, once each when\n"
    "                        several images are given\n"
    "Resources:\n"
    "      --max-data SIZE   image data offered per band (default 4M); SIZE takes\n"
    "                        k, M or G (1024-based)\n"
    "      --max-memory SIZE memory for images decoded whole, all jobs together\n"
    "                        (default 1G; 0: no limit)\n"
    "      --max-input SIZE  input copied from a pipe or standard input\n"
    "                        (default 4G; 0: no limit)\n"
    "  -j, --jobs N          export N images at once (default: one per core)\n"
    "      --plugin PATH     the plug-in module (default: beside the program, or\n"
    "                        in ../lib/glyphweave/)\n"
    "Other:\n"
    "      --about           show the plug-in's About box\n"
    "  -q, --quiet           no progress bar, no report of where the text went\n"
    "  -h, --help            this help\n"
    "  -V, --version         the version\n"
    "\n"
    "Images wider or taller than 32767 pixels are refused: the plug-in\n"
    "interface counts rows and columns in 16 bits.\n"
    "\n"
    "Exit status: 0 when every export succeeded, 1 when an export failed or\n"
    "its text could not be written (the stream and the reason are named),\n"
    "2 for bad usage or an image that cannot be read, 128+N when stopped by\n"
    "signal N (130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP), 141 when the\n"
    "reader of standard output went away.\n";

enum LongOnly {
  kOptDialog = 256,
  kOptRecord,
  kOptPlay,
  kOptMode,
  kOptKeepAlpha,
  kOptWidth,
  kOptHeight,
  kOptFit,
  kOptCellAspect,
  kOptEnlarge,
  kOptInvert,
  kOptMaxData,
  kOptMaxMemory,
  kOptPlugin,
  kOptAbout,
  kOptColour,
  kOptColourDepth,
  kOptBackground,
  kOptMaxInput,
  kOptFrame,
  kOptLoop,
  kOptHtml,
};

const option kLongOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"dialog", no_argument, nullptr, kOptDialog},
    {"record", required_argument, nullptr, kOptRecord},
    {"play", required_argument, nullptr, kOptPlay},
    {"mode", required_argument, nullptr, kOptMode},
    {"keep-alpha", no_argument, nullptr, kOptKeepAlpha},
    {"width", required_argument, nullptr, kOptWidth},
    {"height", required_argument, nullptr, kOptHeight},
    {"fit", no_argument, nullptr, kOptFit},
    {"cell-aspect", required_argument, nullptr, kOptCellAspect},
    {"enlarge", no_argument, nullptr, kOptEnlarge},
    {"invert", no_argument, nullptr, kOptInvert},
    {"max-data", required_argument, nullptr, kOptMaxData},
    {"max-memory", required_argument, nullptr, kOptMaxMemory},
    {"max-input", required_argument, nullptr, kOptMaxInput},
    {"jobs", required_argument, nullptr, 'j'},
    {"plugin", required_argument, nullptr, kOptPlugin},
    {"about", no_argument, nullptr, kOptAbout},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"color", optional_argument, nullptr, kOptColour},
    {"color-depth", required_argument, nullptr, kOptColourDepth},
    {"background", required_argument, nullptr, kOptBackground},
    {"frame", required_argument, nullptr, kOptFrame},
    {"loop", required_argument, nullptr, kOptLoop},
    {"html", no_argument, nullptr, kOptHtml},
    {nullptr, 0, nullptr, 0},
};

bool ParseCount(const char* text, int32_t most, int32_t* out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  long long n = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || n < 1 || n > most) return false;
  *out = static_cast<int32_t>(n);
  return true;
}

// The name the user typed for the option getopt stopped at.
std::string OffendingOption(char** argv, int index, int shortOption) {
  const char* arg = index > 0 ? argv[index] : nullptr;
  if (arg != nullptr && std::strncmp(arg, "--", 2) == 0) {
    std::string text = arg;
    return text.substr(0, text.find('='));
  }
  if (shortOption > 0 && shortOption < 256 && shortOption != '?') {
    return std::string("-") + static_cast<char>(shortOption);
  }
  return arg != nullptr ? std::string(arg) : std::string("?");
}

}  // namespace

bool ParseSize(const std::string& text, uint64_t most, uint64_t* bytes) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 19) return false;
  uint64_t n = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
  std::string unit = text.substr(digits);
  if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b') && unit.size() == 2) unit.pop_back();
  unsigned shift = 0;
  if (unit.empty()) {
    shift = 0;
  } else if (unit == "k" || unit == "K") {
    shift = 10;
  } else if (unit == "m" || unit == "M") {
    shift = 20;
  } else if (unit == "g" || unit == "G") {
    shift = 30;
  } else {
    return false;
  }
  if (n > (most >> shift)) return false;
  *bytes = n << shift;
  return true;
}

std::string UsageText() { return std::string(kUsage) + "\n" + ImageInputHelp() + PlatformHelpNote(); }

const char* VersionText() { return GW_VERSION; }

ParseOutcome ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  auto usage = [error](const std::string& message) {
    *error = message;
    return ParseOutcome::kUsageError;
  };
  // Our own messages, in our own words.
  opterr = 0;
  optind = 0;
  o->imageOptions.memoryLimit = kDefaultMemoryLimit;
  o->imageOptions.inputLimit = kDefaultInputLimit;
  for (;;) {
    int index = -1;
    int c = getopt_long(argc, argv, ":o:j:qhV", kLongOptions, &index);
    if (c == -1) break;
    const std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case 'o':
        if (value.empty()) return usage("-o needs a path");
        o->output = value;
        o->haveOutput = true;
        break;
      case kOptDialog: o->dialog = true; break;
      case kOptRecord:
        if (value.empty()) return usage("--record needs a file");
        o->recordFile = value;
        break;
      case kOptPlay:
        if (value.empty()) return usage("--play needs a file");
        o->playFile = value;
        break;
      case kOptMode:
        if (!ParseImageMode(value.c_str(), &o->imageOptions.mode)) {
          return usage("unknown mode '" + value +
                       "' (gray, indexed, rgb, cmyk, lab, hsb, hsl, multichannel, duotone, bitmap)");
        }
        break;
      case kOptKeepAlpha: o->imageOptions.keepAlpha = true; break;
      case kOptWidth:
        if (!ParseCount(optarg, 1 << 30, &o->width)) return usage("--width takes a number of characters from 1");
        break;
      case kOptHeight:
        if (!ParseCount(optarg, 1 << 30, &o->height)) return usage("--height takes a number of lines from 1");
        break;
      case kOptFit: o->fit = true; break;
      case kOptCellAspect: {
        char* end = nullptr;
        double r = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !std::isfinite(r) || r < 0.1 || r > 10) {
          return usage("--cell-aspect takes a ratio from 0.1 to 10, e.g. 2 or 2.2");
        }
        o->cellAspect = r;
        break;
      }
      case kOptEnlarge: o->enlarge = true; break;
      case kOptInvert: o->imageOptions.invert = true; break;
      case kOptMaxData: {
        uint64_t bytes = 0;
        if (!ParseSize(value, 0x7FFFFFFF, &bytes) || bytes < 1) {
          return usage("--max-data takes a size from 1 byte to 2G less one byte (e.g. 4M, 512k)");
        }
        o->maxData = static_cast<int32_t>(bytes);
        break;
      }
      case kOptMaxMemory: {
        uint64_t bytes = 0;
        if (!ParseSize(value, uint64_t{1} << 50, &bytes)) {
          return usage("--max-memory takes a size (e.g. 512M, 4G), or 0 for no limit");
        }
        o->imageOptions.memoryLimit = bytes;
        break;
      }
      case kOptMaxInput: {
        uint64_t bytes = 0;
        if (!ParseSize(value, uint64_t{1} << 50, &bytes)) {
          return usage("--max-input takes a size (e.g. 512M, 8G), or 0 for no limit");
        }
        o->imageOptions.inputLimit = bytes;
        break;
      }
      case 'j': {
        int32_t jobs = 0;
        if (!ParseCount(optarg, 256, &jobs)) return usage("-j takes a number of jobs from 1 to 256");
        o->jobs = jobs;
        break;
      }
      case kOptPlugin:
        if (value.empty()) return usage("--plugin needs a path");
        o->plugin = value;
        break;
      case kOptAbout: o->about = true; break;
      case kOptColour:
        // The words ls and grep take, and --color alone for always.
        if (optarg == nullptr || value == "always" || value == "yes" || value == "force") {
          o->colour = ColourWhen::kAlways;
        } else if (value == "auto" || value == "tty" || value == "if-tty") {
          o->colour = ColourWhen::kAuto;
        } else if (value == "never" || value == "no" || value == "none") {
          o->colour = ColourWhen::kNever;
        } else {
          return usage("--color takes auto, always or never");
        }
        break;
      case kOptColourDepth:
        if (!ParseColourDepth(value, &o->colourDepth)) return usage("--color-depth takes 16, 256 or truecolor");
        break;
      case kOptBackground:
        if (value == "auto") {
          o->background = BackgroundChoice::kAuto;
        } else if (value == "dark") {
          o->background = BackgroundChoice::kDark;
        } else if (value == "light") {
          o->background = BackgroundChoice::kLight;
        } else {
          return usage("--background takes auto, dark or light");
        }
        break;
      case kOptFrame:
        if (!ParseCount(optarg, INT32_MAX, &o->frame))
          return usage("--frame takes a frame number from 1");
        o->imageOptions.frame = o->frame;
        break;
      case kOptLoop:
        if (value != "0" && !ParseCount(optarg, INT32_MAX, &o->loop)) {
          return usage("--loop takes a number of times to play, or 0 for until stopped");
        }
        if (value == "0") o->loop = 0;
        break;
      case kOptHtml: o->html = true; break;
      case 'q': o->quiet = true; break;
      case 'h':
        *error = UsageText();
        return ParseOutcome::kDone;
      case 'V':
        *error = std::string("glyphweave ") + VersionText() + "\n";
        return ParseOutcome::kDone;
      case ':': return usage(OffendingOption(argv, optind - 1, optopt) + " needs a value");
      default: {
        std::string name = OffendingOption(argv, optind - 1, optopt);
        // A long option given a value it does not take.
        if (name.rfind("--", 0) == 0 && std::strchr(argv[optind - 1], '=') != nullptr) {
          return usage(name + " takes no value");
        }
        return usage("unknown option " + name);
      }
    }
  }
  for (int i = optind; i < argc; ++i) o->images.emplace_back(argv[i]);

  if (o->about) return ParseOutcome::kRun;
  if (o->images.empty()) return usage("no image given");
  if (o->haveOutput && !o->playFile.empty()) return usage("-o and --play both give the output path");
  if (o->haveOutput && o->dialog) return usage("-o and --dialog both give the output path");
  // The page is the host's to write; these choose or record the plug-in's file.
  if (o->html && o->dialog) return usage("--html and --dialog cannot go together: -o names the page");
  if (o->html && !o->playFile.empty()) return usage("--html and --play cannot go together: -o names the page");
  if (o->html && !o->recordFile.empty()) {
    return usage("--html and --record cannot go together: the plug-in's step has no page to record");
  }
  size_t fromStandardInput = 0;
  for (const std::string& image : o->images) fromStandardInput += image == "-" ? 1 : 0;
  if (fromStandardInput > 1) return usage("standard input ('-') can be read only once");
  return ParseOutcome::kRun;
}
