#include "host/platform/HostSystem.h"

#include <io.h>
#include <windows.h>

struct LoadedModule {
  HMODULE handle;
  std::string path;
};

LoadedModule* LoadPluginModule(const std::string& path, std::string* error) {
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle == nullptr) {
    *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  return new LoadedModule{handle, path};
}

void UnloadPluginModule(LoadedModule* module) {
  if (module == nullptr) return;
  FreeLibrary(module->handle);
  delete module;
}

void* FindModuleFunction(LoadedModule* module, const std::string& name) {
  FARPROC proc = GetProcAddress(module->handle, name.c_str());
  return reinterpret_cast<void*>(reinterpret_cast<void (*)()>(proc));
}

bool ReadModulePropertyList(LoadedModule* module, std::string* bytes, std::string* error) {
  HRSRC found = FindResourceA(module->handle, MAKEINTRESOURCEA(16000), "PIPL");
  HGLOBAL loaded = found != nullptr ? LoadResource(module->handle, found) : nullptr;
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) {
    *error = module->path + " has no property list";
    return false;
  }
  bytes->assign(static_cast<const char*>(data), SizeofResource(module->handle, found));
  return true;
}

std::string DefaultModulePath() {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return "Glyphweave.8be";
  std::string exe(self, n);
  return exe.substr(0, exe.find_last_of("\\/") + 1) + "Glyphweave.8be";
}

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

int TerminalColumns(FILE* /*stream*/) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
    return info.srWindow.Right - info.srWindow.Left + 1;
  }
  return 80;
}

char NativeSeparator() { return '\\'; }

bool IsFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
