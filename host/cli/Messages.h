// What the host tells the user: result codes in words, the operating
// system's reason next to an output failure, and file names made safe to
// print on a terminal.
#pragma once

#include <cstdint>
#include <string>

// "cancelled (-128)" and so on.
std::string DescribeResult(int16_t result);

// Why an export could not create or write `path` (result -23 or -20), as
// far as the file system tells now: "folder out/ does not exist",
// "permission denied", "no space left on device", "is a folder". `error` is
// the system's error number the failing call left (0: unknown). Empty when
// nothing can be said.
std::string ExplainOutputFailure(const std::string& path, int16_t result, int error);

// `name` with control characters, the C1 controls and bytes that are not
// UTF-8 shown as escapes (\n, \t, \x1b ...), and the characters that turn
// or break the text around them (the bidirectional controls and marks, the
// line and paragraph separators) as \u202e and so on, so that a text from
// outside cannot move the cursor, change colours, end a line or show
// itself in another order on either stream. A backslash stays as it is, so
// a text made printable stays the same when made printable again.
std::string Printable(const std::string& name);

// "glyphweave: MESSAGE" on standard error, the message made printable
// whole: every text from outside it quotes is shown escaped.
void PrintMessage(const std::string& message);

// "standard output", "descriptor 3".
std::string DescribeDescriptor(int fd);

// "cannot write to standard output: no space left on device".
std::string WriteFailureMessage(int fd, int error);
