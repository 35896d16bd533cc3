// Recorded step files as text: whatever the input, reading either refuses
// it with a message or gives a step that is saved and read back unchanged
// (paths that are not UTF-8 included), and nothing throws.
//
// fuzz-seconds: 30
//
// Inputs as large as a step file may be, tried at full length from the start
// rather than grown slowly (libFuzzer's default stops at 4096 bytes, too few
// to nest deeply enough to exhaust the stack):
// fuzz-options: -max_len=1048576 -len_control=0
#include <cstdint>
#include <string>

#include "host/cli/StepFile.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  RecordedStep step;
  std::string error;
  std::vector<std::string> warnings;
  if (!StepFromJson(text, &step, &error, &warnings)) {
    Check(!error.empty());
    return 0;
  }
  std::string saved = StepToJson(step);
  RecordedStep again;
  Check(StepFromJson(saved, &again, &error));
  Check(again.parameters.size() == step.parameters.size());
  for (size_t i = 0; i < step.parameters.size(); ++i) {
    Check(again.parameters[i].key == step.parameters[i].key);
    Check(again.parameters[i].alias == step.parameters[i].alias);
    Check(!step.parameters[i].alias.empty() && step.parameters[i].alias.size() <= 255);
    Check(step.parameters[i].alias.find('\0') == std::string::npos);
  }
  return 0;
}
