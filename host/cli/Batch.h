// From the command line to the list of exports it asks for, with every
// refusal decided before the first export runs: two images written to one
// file, a text written over an image, a step file that is also an input or
// an output. A file whose text would collide is first looked at: one that
// is no image is not refused but reported as unreadable, like any other. Knows where the plug-in will write because it composes paths
// by the plug-in's own rule (folder and base name, extension .txt).
#pragma once

#include <string>
#include <vector>

#include "host/hosting/HostSuites.h"
#include "host/cli/Options.h"

struct PlannedExport {
  std::string image;         // as given; "-" is standard input
  std::string documentName;  // the name the plug-in is given for the image
  std::string output;        // where the plug-in will write; "" when its dialog decides or it streams
  // The text goes to standard output (-o -, /dev/stdout, or an input from
  // standard input or a process substitution without -o).
  bool toStandardOutput = false;
  // Not empty: the image cannot be read (why, as opening it would say), so
  // the export is reported as unreadable without running.
  std::string unreadable;
  // The descriptor the text is copied to as it grows: 1 for standard
  // output, N for -o /dev/fd/N; -1 for a file the plug-in writes in place.
  int streamDescriptor = -1;
  bool page = false;         // the host writes a web page to `output` (--html)
};

struct BatchPlan {
  std::vector<PlannedExport> exports;
  bool haveStep = false;  // every export plays `step` (from -o or --play)
  RecordedStep step;
  std::vector<std::string> notes;  // to say once, before the exports
};

// The document name standard input is given.
extern const char* const kStandardInputName;

// `played` is the step --play loaded (null without --play). False with the
// message (naming the inputs concerned) when the run must not start; also
// when a text would be made in /dev or /proc.
bool PlanBatch(const Options& options, const RecordedStep* played, BatchPlan* plan, std::string* error);

// What is written for a document: the plug-in's text, or the host's page
// (--html).
enum class OutputKind { kText, kPage };

// Where the output for `documentName` goes for a target path ("" when none
// is given: beside the document). A target ending in a separator is a
// folder, which gets the document's base name; another names a file, which
// the plug-in gives its own extension (.txt) and a page keeps as named. The
// name made from the document's ends in .txt, or .html for a page.
std::string ComposeOutputPath(const std::string& target, const std::string& documentName,
                              OutputKind kind);
