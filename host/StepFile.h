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

#include <string>

#include "host/HostSuites.h"

bool SaveStep(const std::string& file, const RecordedStep& step, std::string* error);
bool LoadStep(const std::string& file, RecordedStep* step, std::string* error);

// The same, to and from text.
std::string StepToJson(const RecordedStep& step);
bool StepFromJson(const std::string& text, RecordedStep* step, std::string* error);
