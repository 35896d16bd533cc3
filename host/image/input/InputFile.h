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

// How input that has to be copied is read: `cancel` (may be null) stops
// the copying with "NAME: interrupted"; `check` judges its first bytes;
// more than `limit` bytes (0: no limit) are refused, naming --max-input,
// and what was copied is removed.
struct CopyRules {
  const volatile std::sig_atomic_t* cancel = nullptr;
  InputHeadCheck check = nullptr;
  uint64_t limit = 0;
};

// Opens `path` for reading ("-": standard input). On success `*file` is a
// seekable stream positioned anywhere and `*name` what messages call it (the
// path, or "standard input"); on failure `error` holds the whole message,
// beginning with that name.
bool OpenInputFile(const char* path, const CopyRules& rules, FILE** file, std::string* name,
                   std::string* error);

// The first bytes (up to `size`) of the file at `path`, read only when it is
// a regular file: `*got` of them. Pipes, sockets and "-" are not read (their
// data would be gone): `*regular` false. False with OpenInputFile's message
// for a path that is missing, a folder or a device, or cannot be read.
bool PeekInputFile(const char* path, uint8_t* head, size_t size, size_t* got, bool* regular,
                   std::string* error);
