#include "output/OutputPath.h"

#include <cstring>

#include "hostsupport/Handles.h"
#include "output/PathSplit.h"
#include "platform/SaveDialog.h"
#include "plugin/ModuleInstance.h"

namespace {

const char kExtension[] = "txt";
const char kDialogFilter[] = "Glyphweave (*.txt)\0*.txt\0";  // the literal adds the final NUL
const char kDialogTitle[] = "Glyphweave";
const uint32_t kDialogFlags = kSaveDialogLongNames | kSaveDialogPathMustExist |
                              kSaveDialogHideReadOnly | kSaveDialogOverwritePrompt;
const uint32_t kDialogBufferSize = 255;

// A path under construction. Longer texts are not cut: they are marked, so
// that no truncated path is ever written to.
struct PathText {
  char chars[kOutputPathMax + 1];
  size_t length;
  bool tooLong;
};

void Clear(PathText* text) {
  text->chars[0] = '\0';
  text->length = 0;
  text->tooLong = false;
}

void Append(PathText* text, const char* chars, size_t count) {
  if (text->tooLong || count > kOutputPathMax - text->length) {
    text->tooLong = true;
    return;
  }
  std::memcpy(text->chars + text->length, chars, count);
  text->length += count;
  text->chars[text->length] = '\0';
}

// The host's document name: up to 255 characters after the length byte, up
// to the first NUL among them.
void TakeDocumentName(const ExportRecord* stuff, PathText* name) {
  Clear(name);
  const char* chars = reinterpret_cast<const char*>(stuff->filename + 1);
  Append(name, chars, strnlen(chars, stuff->filename[0]));
}

// The recorded path as text: the handle's bytes up to the first NUL (the
// recorder stores two after the path). Released and cleared in every case.
void TakeRecordedPath(PluginGlobals* globals, PathText* recorded) {
  HandleProcs* procs = globals->stuff->handleProcs;
  Handle handle = globals->pathHandle;
  Clear(recorded);
  const char* data = LockHandle(procs, handle, false);
  if (data != nullptr) {
    int32_t size = GetHandleSize(procs, handle);
    size_t available = size > 0 ? static_cast<size_t>(size) : 0;
    const void* nul = std::memchr(data, '\0', available);
    Append(recorded, data,
           nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - data) : available);
  }
  UnlockHandle(procs, handle);
  DisposeHandle(procs, handle);
  globals->pathHandle = nullptr;
}

// The folder part and base name that the output path is made from: those of
// the recorded path, with the document's base name when it names a folder;
// otherwise those of the document name.
void ChooseSource(PluginGlobals* globals, PathText* folder, PathText* base, bool* tooLong) {
  PathText document;
  TakeDocumentName(globals->stuff, &document);
  PathSplit documentSplit = SplitPath(document.chars, document.length);
  Clear(folder);
  Clear(base);

  if (globals->pathHandle != nullptr) {
    PathText recorded;
    TakeRecordedPath(globals, &recorded);
    *tooLong = recorded.tooLong;
    if (recorded.length > 0 && IsPathSeparator(recorded.chars[recorded.length - 1])) {
      Append(folder, recorded.chars, recorded.length);
      Append(base, document.chars + documentSplit.baseStart,
             documentSplit.extensionStart - documentSplit.baseStart);
      return;
    }
    PathSplit split = SplitPath(recorded.chars, recorded.length);
    Append(folder, recorded.chars, split.baseStart);
    Append(base, recorded.chars + split.baseStart, split.extensionStart - split.baseStart);
    return;
  }
  *tooLong = false;
  Append(folder, document.chars, documentSplit.baseStart);
  Append(base, document.chars + documentSplit.baseStart,
         documentSplit.extensionStart - documentSplit.baseStart);
}

// The field holds `text` from its first byte, NUL-filled behind it.
void StoreInFilename(ExportRecord* stuff, const char* text, size_t length) {
  std::memset(stuff->filename, 0, sizeof stuff->filename);
  std::memcpy(stuff->filename, text, length);
}

void AppendExtension(PathText* text) {
  Append(text, ".", 1);
  Append(text, kExtension, sizeof kExtension - 1);
}

bool AskWithDialog(PluginGlobals* globals, const PathText& folder, const PathText& base) {
  ExportRecord* stuff = globals->stuff;
  PathText proposedTitle;
  Clear(&proposedTitle);
  Append(&proposedTitle, base.chars, base.length);
  AppendExtension(&proposedTitle);

  // The dialog starts from the base name in the field and writes its answer
  // there.
  StoreInFilename(stuff, base.chars, base.length);
  char returnedTitle[256] = {0};

  SaveDialogRequest request{};
  if (stuff->platformData != nullptr) {
    request.owner =
        reinterpret_cast<PlatformWindow>(static_cast<PlatformData*>(stuff->platformData)->hwnd);
  }
  request.instance = moduleInstance;
  request.filter = kDialogFilter;
  request.file = reinterpret_cast<char*>(stuff->filename);
  request.fileSize = kDialogBufferSize;
  request.fileTitle = returnedTitle;
  request.fileTitleSize = kDialogBufferSize;
  request.initialFolder = folder.chars;
  request.title = kDialogTitle;
  request.flags = kDialogFlags;
  request.defaultExtension = kExtension;

  if (PlatformSaveDialog(&request) != kSaveDialogChosen) {
    *globals->result = kResultCancelled;
    return false;
  }
  stuff->filename[sizeof stuff->filename - 1] = 0;
  // A title that is too long for the field was never proposed whole, so it
  // cannot have been kept.
  globals->sameTitle = !proposedTitle.tooLong &&
                       std::strncmp(returnedTitle, proposedTitle.chars, kOutputPathMax) == 0;
  return true;
}

}  // namespace

bool SelectOutputPath(PluginGlobals* globals) {
  PathText folder;
  PathText base;
  bool recordedTooLong = false;
  ChooseSource(globals, &folder, &base, &recordedTooLong);

  // A recorded path longer than any the plug-in writes cannot be used whole,
  // and a cut one would name another file.
  if (recordedTooLong) {
    *globals->result = kResultFileOpenError;
    return false;
  }
  if (globals->queryForParameters) return AskWithDialog(globals, folder, base);

  PathText output = folder;
  Append(&output, base.chars, base.length);
  AppendExtension(&output);
  if (output.tooLong) {
    *globals->result = kResultFileOpenError;
    return false;
  }
  StoreInFilename(globals->stuff, output.chars, output.length);
  return true;
}
