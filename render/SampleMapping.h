// Mapping samples to ramp characters: the renderer's innermost loop, with
// vector versions for processors that have them. Every version gives the
// same bytes as the plain table lookup.
#pragma once

#include <cstdint>

typedef void (*SampleMapper)(const uint8_t* samples, int32_t length, char* line);

// The fastest version this processor runs.
SampleMapper ChooseSampleMapper();

// Every version built in, for tests and benchmarks: its name, and null when
// the processor cannot run it.
int SampleMapperCount();
const char* SampleMapperName(int index);
SampleMapper SampleMapperAt(int index);
