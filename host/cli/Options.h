// The glyphweave command line: options in the getopt_long conventions
// (--mode=gray, -qo x.txt, -ox.txt, --), turned into a plain record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/image/ImageInput.h"
#include "host/view/Colour.h"

// --color: when the text on standard output is coloured.
enum class ColourWhen : int8_t { kAuto, kAlways, kNever };
// --background: what the terminal's background is taken to be.
enum class BackgroundChoice : int8_t { kAuto, kDark, kLight };

struct Options {
  std::vector<std::string> images;  // "-" is standard input
  std::string output;               // -o; "-" is standard output
  bool haveOutput = false;
  bool dialog = false;
  std::string recordFile;
  std::string playFile;
  ImageOptions imageOptions;
  // Sizing, done by the host before the export; 0 = no bound.
  int32_t width = 0;
  int32_t height = 0;
  bool fit = false;
  double cellAspect = 2.0;
  bool enlarge = false;
  int32_t maxData = 4 * 1024 * 1024;
  int jobs = 0;  // 0: one per core
  std::string plugin;
  bool about = false;
  bool quiet = false;
  ColourWhen colour = ColourWhen::kAuto;
  ColourDepth colourDepth = ColourDepth::kNone;  // kNone: as detected
  BackgroundChoice background = BackgroundChoice::kAuto;
  int32_t frame = 0;  // --frame; 0: not given (the first)
  int32_t loop = -1;  // --loop; -1: not given
  bool html = false;  // a web page instead of the text

  bool ToStandardOutput() const { return haveOutput && output == "-"; }
  bool Sized() const { return width > 0 || height > 0 || fit; }
};

enum class ParseOutcome {
  kRun,         // the options describe work to do
  kDone,        // --help or --version was answered
  kUsageError,  // the message is in `error`
};

ParseOutcome ParseOptions(int argc, char** argv, Options* options, std::string* error);

// "4M" -> 4194304: a number with an optional k, M or G (1024-based, either
// case, an optional trailing B). False for anything else or above `most`.
bool ParseSize(const std::string& text, uint64_t most, uint64_t* bytes);

// Whether an option takes a value: never, always (the next argument when
// not joined to it), or only joined to it with '=' (--color=never).
enum class OptionValue : int8_t { kNone, kRequired, kOptional };

struct OptionSpelling {
  std::string spelling;  // "--output", "-o"
  OptionValue value;
};

// Every spelling the parse knows, long and short, in its table's order: what
// --help, the man page and the completion have to describe.
std::vector<OptionSpelling> OptionSpellings();

// The text of --help, the input formats included.
std::string UsageText();

const char* VersionText();
