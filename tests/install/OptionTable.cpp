// Prints the option table the command line parses with, one spelling a line
// with what it takes ("--output required", "--color optional", "-q none"),
// for the check that --help, the man page and the completion describe it.
#include <cstdio>

#include "host/cli/Options.h"

int main() {
  for (const OptionSpelling& option : OptionSpellings()) {
    const char* value = option.value == OptionValue::kNone       ? "none"
                        : option.value == OptionValue::kRequired ? "required"
                                                                 : "optional";
    std::printf("%s %s\n", option.spelling.c_str(), value);
  }
  return 0;
}
