// Recorded steps saved as readable JSON, so that a step recorded once (say
// through the Save As dialog) can be replayed over a whole batch:
//
//   {
//     "format": "glyphweave-step",
//     "version": 1,
//     "parameters": [
//       { "key": "In  ", "type": "alias", "path": "/home/me/out/" }
//     ]
//   }
//
// "key" is the four-character parameter key; "path" the recorded path (a
// folder when it ends in a separator). A path that is not valid UTF-8 is
// kept byte for byte as "pathHex" instead.
//
// Reading is strict: only a regular file of at most kLargestStepFile bytes,
// nested at most kDeepestStepNesting levels, keys of four printable ASCII
// characters, no parameter key twice, no empty path, no NUL inside a path.
// Fields and parameter keys this version does not know are kept out of the
// way and reported as warnings, so that a step from a newer glyphweave still
// plays. Saving replaces the file in one step, keeping its mode: a failure
// leaves the earlier one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/hosting/HostSuites.h"

const size_t kLargestStepFile = size_t{1} << 20;
// A step nests three deep (the document, its list of parameters, an entry);
// fields of a later version may add a few levels. Deeper text is refused
// while it is parsed: nesting without bound would exhaust the stack in the
// JSON library's recursive copies and comparisons.
const int kDeepestStepNesting = 64;

// Errors name the file.
bool SaveStep(const std::string& file, const RecordedStep& step, std::string* error);
// Whether a step may be recorded to `file` (before a run, so that a refusal
// costs no export): the output writer would take it, and what it holds now
// is nothing to lose, an empty file or a step. Anything else, such as an
// image given where the step file was meant, is refused with a message that
// names the file.
bool MayRecordStep(const std::string& file, std::string* error);
bool LoadStep(const std::string& file, RecordedStep* step, std::string* error,
              std::vector<std::string>* warnings = nullptr);

// The same, to and from text.
std::string StepToJson(const RecordedStep& step);
bool StepFromJson(const std::string& text, RecordedStep* step, std::string* error,
                  std::vector<std::string>* warnings = nullptr);
