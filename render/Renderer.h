// The character-art renderer: pulls the image from the host band by band and
// writes one text line per row into the open output file.
#pragma once

#include <cstdint>

#include "platform/FileWrite.h"
#include "plugin/HostInterface.h"
#include "plugin/PluginGlobals.h"
#include "render/CharacterRamp.h"

// Writes every row of the image into the file in globals->fileRef. True when
// all rows are written; false at the first failure, whose code then stands
// in the result cell (first error wins).
bool WriteImageAsText(PluginGlobals* globals);

// Writes *count bytes. 0, or -20 when the write failed or fell short (a full
// disk); *count then holds the number of bytes written.
ResultCode WriteBytes(PlatformFile file, int32_t* count, const void* buffer);

// Rows per band for a data budget: (maxData ÷ columns) ÷ planes, at least 1
// and at most 32,767 (degenerate sizes included).
int16_t RowsPerBand(int32_t maxData, int32_t columns, int32_t planes);

// Maps `length` samples to ramp characters.
void MapSamples(const uint8_t* samples, int32_t length, char* line);
