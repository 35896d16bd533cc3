// Finds a named section in an ELF file: how a host on Linux reads a module's
// resources without running any of its code.
#pragma once

#include <string>

// The bytes of section `name` of the ELF file at `path`. False (with a
// reason in `error`) when the file cannot be read, is not a well-formed
// 64-bit little-endian ELF file, or has no such section.
bool ReadElfSection(const std::string& path, const std::string& name, std::string* bytes,
                    std::string* error);
