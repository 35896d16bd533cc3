// What the command line means for the look of the text: a terminal view
// when the text goes to standard output and that is a terminal (fit the
// terminal, one character per pixel, colour, the terminal's background),
// and today's exact text everywhere else unless asked.
#pragma once

#include <csignal>

#include "host/cli/Options.h"
#include "host/view/Colour.h"
#include "host/view/Terminal.h"

// What the choices depend on beyond the command line.
struct ViewFacts {
  bool outputIsTerminal = false;                 // standard output is one
  bool noColour = false;                         // NO_COLOR is set and not empty
  ColourDepth detected = ColourDepth::kNone;     // COLORTERM, terminfo
  Background background = Background::kUnknown;  // asked, else COLORFGBG (only that for forced colour)
};

// The look of one export's text.
struct TextLook {
  bool fit = false;                        // fit the terminal (its size, else COLUMNS and LINES)
  int16_t mode = kImageModeOwn;
  bool invert = false;                     // samples inverted before the export
  bool dark = false;                       // the background is taken to be dark
  ColourDepth colour = ColourDepth::kNone; // standard output coloured at this depth
};

// For exports whose text goes to standard output.
TextLook ChooseStreamLook(const Options& options, const ViewFacts& facts);
// For exports written to files by the plug-in.
TextLook ChooseFileLook(const Options& options);

// The facts, asking only what the choices need: the background is asked of
// the terminal (up to about a second) only for a view with --background
// auto, the depth only when colour may be wanted. `streams`: some export
// goes to standard output.
ViewFacts GatherViewFacts(const Options& options, bool streams, const volatile std::sig_atomic_t* stop);
