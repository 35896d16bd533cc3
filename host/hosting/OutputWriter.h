// The host's own output files (recorded steps, the terminal view's page),
// written with the guarantees of the plug-in's output file, through the same
// platform code: streamed through a temporary file beside the target (named,
// locked and swept as the plug-in's are), whose folder is held for the
// file's life, and put in the target's place whole or not at all.
#pragma once

#include <cstddef>
#include <string>

struct OutputWriter;

// False when `path` would be refused by OpenOutputWriter, with a message
// naming it; nothing is made. For refusing a run before it starts.
bool CheckOutputTarget(const std::string& path, std::string* error);

// Refuses as -o does (a folder, a read-only file, a device, FIFO or
// socket, anything in /dev or /proc), with a message naming the path.
bool OpenOutputWriter(const std::string& path, OutputWriter** writer, std::string* error);
// False when the bytes could not be written; the writer is then only fit
// for AbandonOutput. A failure can also surface at a later write or at the
// commit, since writes are gathered.
bool WriteOutput(OutputWriter* writer, const void* data, size_t size, std::string* error);
// Whole or not at all: an earlier file keeps its place until the
// new one replaces it, with the earlier file's mode. Ends the writer,
// whatever the outcome.
bool CommitOutput(OutputWriter* writer, std::string* error);
void AbandonOutput(OutputWriter* writer);  // the earlier file stays
