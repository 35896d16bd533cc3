// The operating-system services the command-line host needs: loading a
// plug-in module and reading its property list, and a few facts about the
// terminal and the program's own location.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>

struct LoadedModule;  // opaque

// Loads the module at `path`; null with a reason on failure.
LoadedModule* LoadPluginModule(const std::string& path, std::string* error);

// Unloads the module; null is allowed.
void UnloadPluginModule(LoadedModule* module);

// The address of an exported function, or null.
void* FindModuleFunction(LoadedModule* module, const std::string& name);

// The module's property list (type "PIPL", number 16000), read from its
// resources without running any of its code.
bool ReadModulePropertyList(LoadedModule* module, std::string* bytes, std::string* error);

// Where the plug-in is looked for by default: beside this program (the build
// tree), else in ../lib/glyphweave/ from its folder (an installed copy).
std::string DefaultModulePath();

bool IsTerminal(FILE* stream);
int TerminalColumns(FILE* stream);  // 80 when it cannot be told
// The columns a character takes on the user's terminal: wcwidth under the
// user's own locale (LC_ALL, LC_CTYPE, LANG), 2 for a wide character, 0 for
// a combining one; -1 when that locale cannot show it (in the C locale,
// anything but ASCII).
int CharacterColumns(uint32_t codePoint);

// The folder separator of the system's paths.
char NativeSeparator();
bool IsFolder(const std::string& path);

// The terminal's size in characters; false when `stream` is no terminal or
// the system cannot tell.
bool TerminalSize(FILE* stream, int* columns, int* lines);

// What --help adds about this system's build (ends with a line feed, or
// is empty): on Windows, what it lacks that the Linux program has.
const char* PlatformHelpNote();

// True when the plug-in's Save As dialog has a terminal to ask on: a
// controlling terminal, with this program in its foreground.
bool HaveTerminalToAsk();

// The processors this program may run on.
int UsableProcessors();

// What stands at a path, for explaining why it cannot be written.
enum class PathKind {
  kMissing,
  kFile,       // a regular file (through any symbolic links) that can be written
  kReadOnly,   // a regular file without write permission
  kFolder,
  kDanglingLink,
  kLinkLoop,   // symbolic links that lead back into themselves (or too many of them)
  kFifo,
  kDevice,
  kSocket,
  kOther,
};
PathKind DescribePathKind(const std::string& path);
bool CanCreateIn(const std::string& folder);  // may new files be made in it?
bool DiskIsFull(const std::string& folder);   // no space left for a user there

// A text that is the same for two paths exactly when they name the same
// file, whether it exists yet or not (same folder and name; for an existing
// file, the same file by identity, hard links included). Empty when the
// path's folder does not exist (its file cannot be written anyway).
std::string FileIdentity(const std::string& path);

// Stop signals (Ctrl-C, and where the system has them SIGTERM and SIGHUP)
// store their number in `*flag` and do nothing else, so that the export in
// progress is cancelled cleanly; a blocked terminal read is interrupted,
// not resumed. A closed pipe on standard output shows as a failed write
// instead of a signal.
void CatchStopSignals(volatile std::sig_atomic_t* flag);
// Worker threads leave the stop signals to the main thread.
void LeaveStopSignalsToMainThread();

// A new folder only this user can enter, for files the host streams
// elsewhere (standard output); removed with RemovePrivateFolder.
bool MakePrivateFolder(std::string* folder, std::string* error);
void RemovePrivateFolder(const std::string& folder);
void RemoveFilesIn(const std::string& folder);

// The one file in `folder` (a private folder), opened for reading; -1 when
// there is none.
int OpenOnlyFileIn(const std::string& folder);
// Reads up to `size` bytes at `offset`; -1 on an error.
long long ReadAt(int fd, void* buffer, size_t size, long long offset);
// Gives the disk space of bytes 0..end back once they have been copied
// elsewhere; only a hint.
void ReleaseFileSpace(int fd, long long end);
void CloseFile(int fd);

// Standard input and output carry bytes exactly (no newline translation).
// A standard stream the program was started without (closed) is held by a
// placeholder that refuses its use as the closed descriptor would, so that
// no file the program opens takes its number and receives text or messages
// meant for it.
void PrepareStandardStreams();

// A descriptor of its own for the terminal `fd` refers to, on which writes never
// wait (the shell's shared description left as it is); -1 when `fd` is no
// terminal or the terminal cannot be opened again. POSIX systems only.
int OpenTerminalWithoutWaiting(int fd);

// How a write to a descriptor ended.
enum class WriteResult {
  kWritten,     // every byte
  kStopped,     // `*stop` was set (a stop signal) before all was written
  kReaderGone,  // a pipe whose reader closed it
  kFailed,      // any other failure; `*error` holds the system's error number
};
// Writes all of `data` to `fd`. A write blocked on a slow reader gives way
// to a stop signal (one that sets `*stop`) at once, and so does a write
// between its pieces; one begun after the stop still puts out its first
// piece when the reader has room for it (on POSIX systems).
WriteResult WriteToDescriptor(int fd, const void* data, size_t size, volatile std::sig_atomic_t* stop,
                              int* error);

// The descriptor a path names on its own (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N and their like), or -1 for any other path.
int DescriptorNamedBy(const std::string& path);
// "/dev" or "/proc" when `path` would be made in one of the system's
// folders of devices and processes (following symbolic links), where no
// file of ours belongs; "" otherwise.
std::string SystemFolderOf(const std::string& path);

// Large blocks go back to the system when they are freed, so that what the
// process holds follows the memory budget (images decoded whole come and
// go in blocks of megabytes, on several threads).
void ReturnFreedMemoryPromptly();

// The whole of a regular file of at most `most` bytes. Anything else (a
// folder, a pipe, a device, a larger file) is refused at once, without
// blocking, with the reason in `error`.
bool ReadSmallFile(const std::string& path, size_t most, std::string* bytes, std::string* error);

// True when `path`, or a symbolic link on the way from it to the file it
// names, lies in the system's folders of devices and processes (/dev,
// /proc), where glyphweave makes no files of its own.
bool InSystemFolder(const std::string& path);
