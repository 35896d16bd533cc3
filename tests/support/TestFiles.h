// Plain files opened the way the output file step hands them to the
// renderer: a PlatformFile open for writing.
#pragma once

#include <string>

#include "platform/FileWrite.h"

PlatformFile CreateTestFile(const std::string& path);
void CloseTestFile(PlatformFile file);
