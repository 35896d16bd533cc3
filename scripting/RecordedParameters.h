// The export's one recorded parameter, the output path under the key 'In  ',
// read from the host's descriptor at start and written back at finish.
#pragma once

#include "plugin/HostInterface.h"
#include "plugin/PluginGlobals.h"

const DescriptorKeyID kKeyOutputPath = FourCharCode('I', 'n', ' ', ' ');

// Takes a recorded path into pathHandle; answers whether the Save As dialog
// is to be shown.
bool ReadRecordedParameters(PluginGlobals* globals);

// Hands the path in pathHandle to the host's recorder as a new descriptor.
void WriteRecordedParameters(PluginGlobals* globals);

bool DescriptorSuiteUsable(const PIDescriptorParameters* parameters);
ResultCode EndDescriptorReading(PIDescriptorParameters* parameters, HandleProcs* procs,
                                PIReadDescriptor* token);
void EndDescriptorWriting(PIDescriptorParameters* parameters, HandleProcs* procs,
                          PIWriteDescriptor* token);
bool PlaybackShowsDialog(const PIDescriptorParameters* parameters);
