#include "host/cli/Messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/platform/HostSystem.h"
#include "plugin/HostInterface.h"

namespace {

// The code advanceState answers when the image cannot be read.
const int16_t kReadError = -19;

std::string FolderPart(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// strerror's text, starting lower case as the rest of a message does.
std::string SystemReason(int error) {
  std::string text = std::strerror(error);
  if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && !(text[1] >= 'A' && text[1] <= 'Z')) {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

void AppendHex(std::string* out, unsigned char c) {
  static const char digits[] = "0123456789abcdef";
  *out += "\\x";
  *out += digits[c >> 4];
  *out += digits[c & 15];
}

// The length of the UTF-8 sequence at s[i] that is well formed and not a C1
// control, or 0.
size_t GoodSequence(const std::string& s, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = at(i);
  size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (length == 0 || s.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  }
  unsigned char second = at(i + 1);
  if (c == 0xC2 && second < 0xA0) return 0;   // U+0080..U+009F: C1 controls
  if (c == 0xE0 && second < 0xA0) return 0;   // overlong
  if (c == 0xED && second >= 0xA0) return 0;  // surrogates
  if (c == 0xF0 && second < 0x90) return 0;   // overlong
  if (c == 0xF4 && second >= 0x90) return 0;  // above U+10FFFF
  return length;
}

// The code point of a well-formed sequence of `length` bytes at s[i].
uint32_t CodePoint(const std::string& s, size_t i, size_t length) {
  static const unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  uint32_t cp = static_cast<unsigned char>(s[i]) & kLeadBits[length];
  for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return cp;
}

// Characters that change the order in which the text around them shows
// (Trojan-source style), or end its line on some terminals.
bool TurnsOrBreaksText(uint32_t cp) {
  return cp == 0x061C ||                   // Arabic letter mark
         cp == 0x200E || cp == 0x200F ||   // left-to-right and right-to-left marks
         (cp >= 0x2028 && cp <= 0x202E) || // line and paragraph separators, embeddings, overrides
         (cp >= 0x2066 && cp <= 0x2069);   // isolates
}

void AppendCodePoint(std::string* out, uint32_t cp) {
  static const char digits[] = "0123456789abcdef";
  *out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) *out += digits[(cp >> shift) & 15];
}

}  // namespace

std::string DescribeResult(int16_t result) {
  const char* text = "error";
  switch (result) {
    case kResultOk: text = "done"; break;
    case kResultCancelled: text = "cancelled"; break;
    case kResultOutOfMemory: text = "out of memory"; break;
    case kResultWriteError: text = "write error"; break;
    case kResultFileOpenError: text = "cannot create the output file"; break;
    case kResultBitmapMode: text = "bitmap images are not supported"; break;
    case kResultUnknownSelector: text = "the plug-in did not understand the request"; break;
    case kResultBadParameter: text = "the image's size or planes are not possible"; break;
    case kResultParameterMissing: text = "a recorded parameter is missing"; break;
    case kReadError: text = "the image could not be read"; break;
    case kResultInternalError: text = "the plug-in failed unexpectedly"; break;
    default: break;
  }
  return std::string(text) + " (" + std::to_string(result) + ")";
}

std::string ExplainOutputFailure(const std::string& path, int16_t result, int error) {
  if (path.empty()) return error != 0 ? SystemReason(error) : std::string();
  if (result == kResultFileOpenError) {
    if (path.size() > 255) return "the path is longer than 255 bytes";
    std::string folder = FolderPart(path);
    std::string folderShown = folder.empty() ? std::string("the current folder") : "folder " + Printable(folder);
    switch (DescribePathKind(folder.empty() ? std::string(".") : folder)) {
      case PathKind::kMissing: return folderShown + " does not exist";
      case PathKind::kFolder: break;
      case PathKind::kLinkLoop: return folderShown + " is a symbolic link in a loop of links";
      default: return Printable(folder) + " is not a folder";
    }
    switch (DescribePathKind(path)) {
      case PathKind::kFolder: return "is a folder";
      case PathKind::kDanglingLink: return "is a symbolic link to a file that does not exist";
      case PathKind::kLinkLoop: return "is a symbolic link in a loop of links";
      case PathKind::kFifo: return "is a named pipe (FIFO), not a regular file";
      case PathKind::kDevice: return "is a device, not a regular file";
      case PathKind::kSocket: return "is a socket, not a regular file";
      case PathKind::kReadOnly: return "the file is read-only";
      default: break;
    }
    if (!CanCreateIn(folder.empty() ? std::string(".") : folder)) {
      return "permission denied (" + folderShown + ")";
    }
  }
  if (error != 0) return SystemReason(error);
  if (result == kResultWriteError && DiskIsFull(FolderPart(path).empty() ? std::string(".") : FolderPart(path))) {
    return SystemReason(ENOSPC);
  }
  return std::string();
}

std::string Printable(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      default: break;
    }
    size_t length = c >= 0x80 ? GoodSequence(name, i) : 0;
    if (length == 0) {
      AppendHex(&out, c);
      ++i;
      continue;
    }
    uint32_t cp = CodePoint(name, i, length);
    if (TurnsOrBreaksText(cp)) {
      AppendCodePoint(&out, cp);
    } else {
      out.append(name, i, length);
    }
    i += length;
  }
  return out;
}

void PrintMessage(const std::string& message) {
  std::string line = "glyphweave: " + Printable(message) + "\n";
  std::fputs(line.c_str(), stderr);
}

std::string DescribeDescriptor(int fd) {
  switch (fd) {
    case 0: return "standard input";
    case 1: return "standard output";
    case 2: return "standard error";
    default: return "descriptor " + std::to_string(fd);
  }
}

std::string WriteFailureMessage(int fd, int error) {
  return "cannot write to " + DescribeDescriptor(fd) + ": " + SystemReason(error != 0 ? error : EIO);
}
