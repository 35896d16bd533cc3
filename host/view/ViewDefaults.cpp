#include "host/view/ViewDefaults.h"

#include <cstdlib>

namespace {

// Long enough for a terminal over a slow link, short enough not to be felt
// when nothing answers.
const int kBackgroundWaitMs = 1000;

bool Inverted(const Options& o, bool dark) { return dark != o.imageOptions.invert; }

}  // namespace

TextLook ChooseStreamLook(const Options& o, const ViewFacts& f) {
  const bool view = f.outputIsTerminal;
  TextLook look;
  look.fit = o.fit || (view && o.width == 0 && o.height == 0);
  look.mode = o.imageOptions.mode;
  if (view && look.mode == kImageModeOwn) look.mode = kImageModeGray;
  // Colour forced into a pipe is for a terminal further on (less -R): its
  // background is taken as a view's is, but never asked (ViewFacts).
  const bool forced = !view && o.colour == ColourWhen::kAlways && !o.html;
  bool dark = o.background == BackgroundChoice::kDark ||
              (o.background == BackgroundChoice::kAuto && (view || forced) && f.background != Background::kLight);
  look.invert = Inverted(o, dark);
  look.dark = dark;
  bool colour = o.colour == ColourWhen::kAlways || (o.colour == ColourWhen::kAuto && view && !f.noColour);
  ColourDepth depth = o.colourDepth != ColourDepth::kNone ? o.colourDepth : f.detected;
  if (depth == ColourDepth::kNone && o.colour == ColourWhen::kAlways) depth = ColourDepth::k256;
  look.colour = colour ? depth : ColourDepth::kNone;
  return look;
}

TextLook ChooseFileLook(const Options& o) {
  TextLook look;
  look.fit = o.fit;
  look.mode = o.imageOptions.mode;
  look.dark = o.background == BackgroundChoice::kDark;
  look.invert = Inverted(o, look.dark);
  return look;
}

ViewFacts GatherViewFacts(const Options& o, bool streams, const volatile std::sig_atomic_t* stop) {
  ViewFacts f;
  if (!streams) return f;
  f.outputIsTerminal = OutputIsTerminal();
  const char* noColour = std::getenv("NO_COLOR");
  f.noColour = noColour != nullptr && *noColour != '\0';
  // Whether colour is wanted is ChooseStreamLook's to say; the depth is
  // looked up wherever it may be.
  bool mayColour = o.colour == ColourWhen::kAlways || (o.colour == ColourWhen::kAuto && f.outputIsTerminal);
  if (mayColour && o.colourDepth == ColourDepth::kNone) f.detected = DetectColourDepth();
  if (f.outputIsTerminal && o.background == BackgroundChoice::kAuto) {
    f.background = AskTerminalBackground(kBackgroundWaitMs, stop);
    if (f.background == Background::kUnknown) f.background = BackgroundFromColorFgBg(std::getenv("COLORFGBG"));
  } else if (o.colour == ColourWhen::kAlways && o.background == BackgroundChoice::kAuto) {
    // The terminal at the pipe's end is not asked: its reader (less) reads
    // the terminal too, and could take the answer for keys, or keep it
    // from this program.
    f.background = BackgroundFromColorFgBg(std::getenv("COLORFGBG"));
  }
  return f;
}
