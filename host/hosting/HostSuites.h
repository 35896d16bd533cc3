// The handle and descriptor suites the host offers a plug-in, and the
// descriptors themselves: a recorded step's parameters by key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/HostInterface.h"

// One parameter of a recorded step. The host keeps alias values (paths);
// other kinds of value are answered with an error and not kept.
struct StepParameter {
  DescriptorKeyID key = 0;
  std::string alias;  // the alias's bytes, trailing NULs removed
};

struct RecordedStep {
  std::vector<StepParameter> parameters;
};

// The host's suites, filled in completely (every slot set).
HandleProcs* HostHandleProcs();
ReadDescriptorProcs* HostReadDescriptorProcs();
WriteDescriptorProcs* HostWriteDescriptorProcs();

// A new descriptor handle holding `step`; the plug-in disposes of it through
// the handle suite when it has read it.
PIDescriptorHandle MakeDescriptor(const RecordedStep& step);

// The step a descriptor holds; false when it is not a descriptor of ours.
bool ReadDescriptor(PIDescriptorHandle descriptor, RecordedStep* step);

// Handles made by the host's suite.
Handle HostNewHandle(const void* bytes, int32_t size);
void HostDisposeHandle(Handle handle);
std::string HostHandleBytes(Handle handle);
size_t HostLiveHandles();

// The code the descriptor suite answers for a kind of value it does not keep.
const ResultCode kResultWrongDataType = -1703;
