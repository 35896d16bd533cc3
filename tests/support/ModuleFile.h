// The built module, seen from outside as a host sees it: its resources read
// from the file, and its entry point.
#pragma once

#include <string>

#include "plugin/HostInterface.h"

// A resource of the module by type name ("PIPL") or number (RT_STRING...),
// and numeric name, in US English (1033).
bool ModuleResource(const char* typeName, unsigned typeNumber, unsigned id, std::string* bytes);
// The module's dialog resource of that name.
bool ModuleNamedResource(unsigned typeNumber, const char* name, std::string* bytes);

// String `id` of the module's table as the ANSI loader gives it (bytes in
// Windows-1252); false when absent.
bool ModuleString(unsigned id, std::string* text);

// The module's PluginMain, loaded as a host loads it; null on failure.
PluginEntryProc ModuleEntry();
