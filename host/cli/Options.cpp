#include "host/cli/Options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

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

// How an option's value is read before it is kept.
enum class Takes : int8_t {
  kNothing,    // a switch
  kText,       // any text but an empty one: a path, a file
  kCount,      // decimal digits within the bounds, nothing else
  kSize,       // bytes within the bounds, with an optional k, M or G (ParseSize)
  kRatio,      // a decimal fraction within the bounds
  kWord,       // one of the words the option's keeper knows
  kMaybeWord,  // a word only after '=' (--color=never); alone, a meaning of its own
};

// A value read as its option takes it.
struct Value {
  std::string text;  // as given
  bool given;        // false: a kMaybeWord without its word
  int64_t count;
  uint64_t bytes;
  double ratio;
};

// Keeps a value in the options; false for a word it does not know.
using Keeper = bool (*)(const Value& value, Options* o);

struct OptionSpec {
  const char* name;  // --name
  char letter;       // -letter; 0: none
  Takes takes;
  // The bounds of a count, size or ratio, both allowed. Every one here is
  // far below 2^53, so a count or size compared with them as a double
  // comes out as it would in integers.
  double least;
  double most;
  const char* refusal;  // told for a bad value; "{}" stands for the value
  Keeper keep;
};

template <bool Options::*field>
bool Set(const Value&, Options* o) {
  o->*field = true;
  return true;
}

template <bool ImageOptions::*field>
bool SetImage(const Value&, Options* o) {
  o->imageOptions.*field = true;
  return true;
}

template <std::string Options::*field>
bool KeepText(const Value& v, Options* o) {
  o->*field = v.text;
  return true;
}

template <int32_t Options::*field>
bool KeepCount(const Value& v, Options* o) {
  o->*field = static_cast<int32_t>(v.count);
  return true;
}

template <uint64_t ImageOptions::*field>
bool KeepImageSize(const Value& v, Options* o) {
  o->imageOptions.*field = v.bytes;
  return true;
}

bool KeepOutput(const Value& v, Options* o) {
  o->output = v.text;
  o->haveOutput = true;
  return true;
}

bool KeepMaxData(const Value& v, Options* o) {
  o->maxData = static_cast<int32_t>(v.bytes);
  return true;
}

bool KeepCellAspect(const Value& v, Options* o) {
  o->cellAspect = v.ratio;
  return true;
}

bool KeepFrame(const Value& v, Options* o) {
  o->frame = static_cast<int32_t>(v.count);
  o->imageOptions.frame = o->frame;
  return true;
}

bool KeepMode(const Value& v, Options* o) { return ParseImageMode(v.text.c_str(), &o->imageOptions.mode); }

bool KeepColour(const Value& v, Options* o) {
  // The words ls and grep take, and --color alone for always.
  const std::string& w = v.text;
  if (!v.given || w == "always" || w == "yes" || w == "force") {
    o->colour = ColourWhen::kAlways;
  } else if (w == "auto" || w == "tty" || w == "if-tty") {
    o->colour = ColourWhen::kAuto;
  } else if (w == "never" || w == "no" || w == "none") {
    o->colour = ColourWhen::kNever;
  } else {
    return false;
  }
  return true;
}

bool KeepColourDepth(const Value& v, Options* o) { return ParseColourDepth(v.text, &o->colourDepth); }

bool KeepBackground(const Value& v, Options* o) {
  if (v.text == "auto") {
    o->background = BackgroundChoice::kAuto;
  } else if (v.text == "dark") {
    o->background = BackgroundChoice::kDark;
  } else if (v.text == "light") {
    o->background = BackgroundChoice::kLight;
  } else {
    return false;
  }
  return true;
}

// 1024 T: more than any machine holds, and far from overflowing a shift.
const double kMostBytes = static_cast<double>(uint64_t{1} << 50);

// Every option, in the order --help lists them. --help and --version answer
// at once and keep nothing, so they have no keeper.
const OptionSpec kOptionTable[] = {
    // Output
    {"output", 'o', Takes::kText, 0, 0, "-o needs a path", KeepOutput},
    {"dialog", 0, Takes::kNothing, 0, 0, nullptr, Set<&Options::dialog>},
    {"record", 0, Takes::kText, 0, 0, "--record needs a file", KeepText<&Options::recordFile>},
    {"play", 0, Takes::kText, 0, 0, "--play needs a file", KeepText<&Options::playFile>},
    {"html", 0, Takes::kNothing, 0, 0, nullptr, Set<&Options::html>},
    // Picture
    {"mode", 0, Takes::kWord, 0, 0,
     "unknown mode '{}' (gray, indexed, rgb, cmyk, lab, hsb, hsl, multichannel, duotone, bitmap)", KeepMode},
    {"keep-alpha", 0, Takes::kNothing, 0, 0, nullptr, SetImage<&ImageOptions::keepAlpha>},
    {"width", 0, Takes::kCount, 1, 1 << 30, "--width takes a number of characters from 1",
     KeepCount<&Options::width>},
    {"height", 0, Takes::kCount, 1, 1 << 30, "--height takes a number of lines from 1",
     KeepCount<&Options::height>},
    {"fit", 0, Takes::kNothing, 0, 0, nullptr, Set<&Options::fit>},
    {"cell-aspect", 0, Takes::kRatio, 0.1, 10, "--cell-aspect takes a ratio from 0.1 to 10, e.g. 2 or 2.2",
     KeepCellAspect},
    {"enlarge", 0, Takes::kNothing, 0, 0, nullptr, Set<&Options::enlarge>},
    {"invert", 0, Takes::kNothing, 0, 0, nullptr, SetImage<&ImageOptions::invert>},
    {"frame", 0, Takes::kCount, 1, INT32_MAX, "--frame takes a frame number from 1", KeepFrame},
    // Terminal view
    {"color", 0, Takes::kMaybeWord, 0, 0, "--color takes auto, always or never", KeepColour},
    {"color-depth", 0, Takes::kWord, 0, 0, "--color-depth takes 16, 256 or truecolor", KeepColourDepth},
    {"background", 0, Takes::kWord, 0, 0, "--background takes auto, dark or light", KeepBackground},
    {"loop", 0, Takes::kCount, 0, INT32_MAX, "--loop takes a number of times to play, or 0 for until stopped",
     KeepCount<&Options::loop>},
    // Resources
    {"max-data", 0, Takes::kSize, 1, 0x7FFFFFFF,
     "--max-data takes a size from 1 byte to 2G less one byte (e.g. 4M, 512k)", KeepMaxData},
    {"max-memory", 0, Takes::kSize, 0, kMostBytes, "--max-memory takes a size (e.g. 512M, 4G), or 0 for no limit",
     KeepImageSize<&ImageOptions::memoryLimit>},
    {"max-input", 0, Takes::kSize, 0, kMostBytes, "--max-input takes a size (e.g. 512M, 8G), or 0 for no limit",
     KeepImageSize<&ImageOptions::inputLimit>},
    {"jobs", 'j', Takes::kCount, 1, 256, "-j takes a number of jobs from 1 to 256", KeepCount<&Options::jobs>},
    {"plugin", 0, Takes::kText, 0, 0, "--plugin needs a path", KeepText<&Options::plugin>},
    // Other
    {"about", 0, Takes::kNothing, 0, 0, nullptr, Set<&Options::about>},
    {"quiet", 'q', Takes::kNothing, 0, 0, nullptr, Set<&Options::quiet>},
    {"help", 'h', Takes::kNothing, 0, 0, nullptr, nullptr},
    {"version", 'V', Takes::kNothing, 0, 0, nullptr, nullptr},
};

// What getopt answers for an option: its letter, else a number past them.
int CodeOf(size_t index) {
  const OptionSpec& spec = kOptionTable[index];
  return spec.letter != 0 ? spec.letter : 256 + static_cast<int>(index);
}

const OptionSpec* FindOption(int code) {
  for (size_t i = 0; i < std::size(kOptionTable); ++i) {
    if (CodeOf(i) == code) return &kOptionTable[i];
  }
  return nullptr;
}

int ArgumentOf(Takes takes) {
  if (takes == Takes::kNothing) return no_argument;
  return takes == Takes::kMaybeWord ? optional_argument : required_argument;
}

std::vector<option> LongOptions() {
  std::vector<option> options;
  for (size_t i = 0; i < std::size(kOptionTable); ++i) {
    options.push_back(option{kOptionTable[i].name, ArgumentOf(kOptionTable[i].takes), nullptr, CodeOf(i)});
  }
  options.push_back(option{nullptr, 0, nullptr, 0});
  return options;
}

// A leading ':' has getopt tell a missing value apart from an unknown option.
std::string ShortOptions() {
  std::string letters = ":";
  for (const OptionSpec& spec : kOptionTable) {
    if (spec.letter == 0) continue;
    letters += spec.letter;
    if (spec.takes != Takes::kNothing) letters += ':';
  }
  return letters;
}

// Digits only: no sign, no blank, nothing after. Where 0 is allowed it is
// a word of its own (--loop 0: until stopped), written as such.
bool ParseCount(const char* text, double least, double most, int64_t* out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  long long n = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || static_cast<double>(n) < least || static_cast<double>(n) > most) {
    return false;
  }
  if (n == 0 && std::strcmp(text, "0") != 0) return false;
  *out = n;
  return true;
}

bool ParseRatio(const std::string& text, double least, double most, double* out) {
  char* end = nullptr;
  double r = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(r) || r < least || r > most) return false;
  *out = r;
  return true;
}

// Reads the value `arg` (null when none is given) as `spec` takes it, and
// keeps it. False for a bad value.
bool Keep(const OptionSpec& spec, const char* arg, Options* o) {
  Value v{arg != nullptr ? arg : "", arg != nullptr, 0, 0, 0};
  switch (spec.takes) {
    case Takes::kNothing:
    case Takes::kWord:
    case Takes::kMaybeWord: break;
    case Takes::kText:
      if (v.text.empty()) return false;
      break;
    case Takes::kCount:
      if (!ParseCount(arg, spec.least, spec.most, &v.count)) return false;
      break;
    case Takes::kSize:
      if (!ParseSize(v.text, static_cast<uint64_t>(spec.most), &v.bytes) ||
          static_cast<double>(v.bytes) < spec.least) {
        return false;
      }
      break;
    case Takes::kRatio:
      if (!ParseRatio(v.text, spec.least, spec.most, &v.ratio)) return false;
      break;
  }
  return spec.keep(v, o);
}

std::string Refusal(const OptionSpec& spec, const char* arg) {
  std::string message = spec.refusal;
  size_t at = message.find("{}");
  if (at != std::string::npos) message.replace(at, 2, arg != nullptr ? arg : "");
  return message;
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

std::string UnknownOption(char** argv, int index, int shortOption) {
  std::string name = OffendingOption(argv, index, shortOption);
  // A long option given a value it does not take.
  if (name.rfind("--", 0) == 0 && std::strchr(argv[index], '=') != nullptr) return name + " takes no value";
  return "unknown option " + name;
}

// What the options ask that cannot be done: "" when nothing.
std::string Conflict(const Options& o) {
  if (o.images.empty()) return "no image given";
  if (o.haveOutput && !o.playFile.empty()) return "-o and --play both give the output path";
  if (o.haveOutput && o.dialog) return "-o and --dialog both give the output path";
  // The page is the host's to write; these choose or record the plug-in's file.
  if (o.html && o.dialog) return "--html and --dialog cannot go together: -o names the page";
  if (o.html && !o.playFile.empty()) return "--html and --play cannot go together: -o names the page";
  if (o.html && !o.recordFile.empty()) {
    return "--html and --record cannot go together: the plug-in's step has no page to record";
  }
  size_t fromStandardInput = 0;
  for (const std::string& image : o.images) fromStandardInput += image == "-" ? 1 : 0;
  if (fromStandardInput > 1) return "standard input ('-') can be read only once";
  return "";
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

std::vector<OptionSpelling> OptionSpellings() {
  std::vector<OptionSpelling> spellings;
  for (const OptionSpec& spec : kOptionTable) {
    OptionValue value = spec.takes == Takes::kNothing     ? OptionValue::kNone
                        : spec.takes == Takes::kMaybeWord ? OptionValue::kOptional
                                                          : OptionValue::kRequired;
    spellings.push_back(OptionSpelling{std::string("--") + spec.name, value});
    if (spec.letter != 0) spellings.push_back(OptionSpelling{std::string("-") + spec.letter, value});
  }
  return spellings;
}

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
  const std::vector<option> longOptions = LongOptions();
  const std::string shortOptions = ShortOptions();
  for (;;) {
    int c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
    if (c == -1) break;
    if (c == ':') return usage(OffendingOption(argv, optind - 1, optopt) + " needs a value");
    const OptionSpec* spec = FindOption(c);
    if (spec == nullptr) return usage(UnknownOption(argv, optind - 1, optopt));
    if (spec->letter == 'h') {
      *error = UsageText();
      return ParseOutcome::kDone;
    }
    if (spec->letter == 'V') {
      *error = std::string("glyphweave ") + VersionText() + "\n";
      return ParseOutcome::kDone;
    }
    if (!Keep(*spec, optarg, o)) return usage(Refusal(*spec, optarg));
  }
  for (int i = optind; i < argc; ++i) o->images.emplace_back(argv[i]);

  if (o->about) return ParseOutcome::kRun;
  std::string conflict = Conflict(*o);
  if (!conflict.empty()) return usage(conflict);
  return ParseOutcome::kRun;
}
