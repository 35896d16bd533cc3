// The operating-system services the command-line host needs: loading a
// plug-in module and reading its property list, and a few facts about the
// terminal and the program's own location.
#pragma once

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

// Where the plug-in is looked for by default: beside this program.
std::string DefaultModulePath();

bool IsTerminal(FILE* stream);
int TerminalColumns(FILE* stream);  // 80 when it cannot be told

// The folder separator of the system's paths.
char NativeSeparator();
bool IsFolder(const std::string& path);
