#include "scripting/RecordedParameters.h"

#include "hostsupport/Handles.h"

namespace {

bool ReadSlotsSet(const ReadDescriptorProcs* p) {
  return p->openReadDescriptorProc && p->closeReadDescriptorProc && p->getKeyProc &&
         p->getIntegerProc && p->getFloatProc && p->getUnitFloatProc && p->getBooleanProc &&
         p->getTextProc && p->getAliasProc && p->getEnumeratedProc && p->getClassProc &&
         p->getSimpleReferenceProc && p->getObjectProc && p->getCountProc && p->getStringProc &&
         p->getPinnedIntegerProc && p->getPinnedFloatProc && p->getPinnedUnitFloatProc;
}

bool WriteSlotsSet(const WriteDescriptorProcs* p) {
  return p->openWriteDescriptorProc && p->closeWriteDescriptorProc && p->putIntegerProc &&
         p->putFloatProc && p->putUnitFloatProc && p->putBooleanProc && p->putTextProc &&
         p->putAliasProc && p->putEnumeratedProc && p->putClassProc &&
         p->putSimpleReferenceProc && p->putObjectProc && p->putCountProc && p->putStringProc &&
         p->putScopedClassProc && p->putScopedObjectProc;
}

}  // namespace

bool DescriptorSuiteUsable(const PIDescriptorParameters* parameters) {
  if (parameters == nullptr) return false;
  if (parameters->descriptorParametersVersion != 0) return false;
  const ReadDescriptorProcs* read = parameters->readDescriptorProcs;
  const WriteDescriptorProcs* write = parameters->writeDescriptorProcs;
  if (read == nullptr || write == nullptr) return false;
  if (read->readDescriptorProcsVersion != 0) return false;
  if (read->numReadDescriptorProcs < 18) return false;
  if (write->writeDescriptorProcsVersion != 0) return false;
  if (write->numWriteDescriptorProcs < 16) return false;
  return ReadSlotsSet(read) && WriteSlotsSet(write);
}

bool PlaybackShowsDialog(const PIDescriptorParameters* parameters) {
  return parameters->playInfo == kPlayDialogRequired;
}

ResultCode EndDescriptorReading(PIDescriptorParameters* parameters, HandleProcs* procs,
                                PIReadDescriptor* token) {
  ResultCode code = parameters->readDescriptorProcs->closeReadDescriptorProc(*token);
  if (parameters->descriptor != nullptr) {
    DisposeHandle(procs, parameters->descriptor);
    parameters->descriptor = nullptr;
  }
  *token = nullptr;
  return code;
}

void EndDescriptorWriting(PIDescriptorParameters* parameters, HandleProcs* procs,
                          PIWriteDescriptor* token) {
  PIDescriptorHandle newDescriptor = nullptr;
  if (parameters->descriptor != nullptr) {
    DisposeHandle(procs, parameters->descriptor);
    parameters->descriptor = nullptr;
  }
  parameters->writeDescriptorProcs->closeWriteDescriptorProc(*token, &newDescriptor);
  parameters->descriptor = newDescriptor;
  parameters->recordInfo = 0;
  *token = nullptr;
}

bool ReadRecordedParameters(PluginGlobals* globals) {
  bool showDialog = true;
  PIReadDescriptor token = nullptr;
  DescriptorKeyID expectedKeys[2] = {kKeyOutputPath, 0};

  ExportRecord* stuff = globals->stuff;
  PIDescriptorParameters* parameters = stuff->descriptorParameters;
  if (!DescriptorSuiteUsable(parameters)) return showDialog;

  ReadDescriptorProcs* read = parameters->readDescriptorProcs;
  token = read->openReadDescriptorProc(parameters->descriptor, expectedKeys);
  if (token != nullptr) {
    DescriptorKeyID key = 0;
    DescType type = 0;
    int32_t flags = 0;
    while (read->getKeyProc(token, &key, &type, &flags)) {
      if (key == kKeyOutputPath) {
        // A second 'In  ' must not leak the handle the first one gave.
        if (globals->pathHandle != nullptr) {
          DisposeHandle(stuff->handleProcs, globals->pathHandle);
          globals->pathHandle = nullptr;
        }
        read->getAliasProc(token, &globals->pathHandle);
      }
    }
    ResultCode code = EndDescriptorReading(parameters, stuff->handleProcs, &token);
    if (code != kResultOk && code != kResultParameterMissing) *globals->result = code;
  }
  showDialog = PlaybackShowsDialog(parameters);
  return showDialog;
}

void WriteRecordedParameters(PluginGlobals* globals) {
  ExportRecord* stuff = globals->stuff;
  PIDescriptorParameters* parameters = stuff->descriptorParameters;
  if (!DescriptorSuiteUsable(parameters)) return;

  PIWriteDescriptor token = parameters->writeDescriptorProcs->openWriteDescriptorProc();
  if (token == nullptr) return;
  if (globals->pathHandle != nullptr) {
    parameters->writeDescriptorProcs->putAliasProc(token, kKeyOutputPath, globals->pathHandle);
    DisposeHandle(stuff->handleProcs, globals->pathHandle);
    globals->pathHandle = nullptr;
  }
  EndDescriptorWriting(parameters, stuff->handleProcs, &token);
}
