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
#pragma once

//
// Reading is strict: only a regular file of at most kLargestStepFile bytes,
// no parameter key twice, no empty path, no NUL inside a path. Fields and
// parameter keys this version does not know are kept out of the way and
// reported as warnings, so that a step from a newer glyphweave still plays.
// Saving replaces the file in one step: a failure leaves the earlier one.
#include <cstddef>
#include <string>
#include <vector>

#include "host/HostSuites.h"

const size_t kLargestStepFile = size_t{1} << 20;

bool SaveStep(const std::string& file, const RecordedStep& step, std::string* error);
bool LoadStep(const std::string& file, RecordedStep* step, std::string* error,
              std::vector<std::string>* warnings = nullptr);

// The same, to and from text.
std::string StepToJson(const RecordedStep& step);
bool StepFromJson(const std::string& text, RecordedStep* step, std::string* error,
                  std::vector<std::string>* warnings = nullptr);
