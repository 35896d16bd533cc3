// Turning a path into a stream the readers can seek in: special files are
// refused before anything is read, "-" is standard input, and input that
// cannot seek (pipes) is copied into an unlinked temporary file first.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Judges the first bytes (up to 16) of input that has to be copied before it
// can be read: false, with the users' message in `why`, to stop at once.
using InputHeadCheck = bool (*)(const uint8_t* head, size_t size, const std::string& name,
                                std::string* why);

// Opens `path` for reading ("-": standard input). On success `*file` is a
// seekable stream positioned anywhere and `*name` what messages call it (the
// path, or "standard input"); on failure `error` holds the whole message,
// beginning with that name. `cancel` (may be null) stops the copying of a
// pipe with "NAME: interrupted".
bool OpenInputFile(const char* path, const volatile std::sig_atomic_t* cancel,
                   InputHeadCheck check, FILE** file, std::string* name, std::string* error);
