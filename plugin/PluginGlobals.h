// The plug-in's globals: kept by the host in a handle between calls, rebound
// to the current call's result cell and parameter block on every call.
#pragma once

#include <cstdint>

#include "platform/OutputFile.h"
#include "plugin/HostInterface.h"

struct PluginGlobals {
  int16_t* result;              // the host's result cell of the current call
  ExportRecord* stuff;          // the host's parameter block of the current call
  HostBoolean queryForParameters;  // true: ask for the output path with the Save As dialog
  HostBoolean sameTitle;        // true: the dialog returned the proposed file title
  int32_t fileRef;              // the open output file; 0 = none
  Handle pathHandle;            // the output path to record, NUL-terminated; 0 = none
  // The temporary file that receives the export until it replaces the
  // output path; "" when none exists.
  char tempPath[kTempPathSize];
};

typedef void (*GlobalsInitialiser)(PluginGlobals* globals);

// The locked globals of this call, created on the first call; null when they
// cannot be created or locked.
PluginGlobals* FindOrCreateGlobals(int16_t* resultCell, ExportRecord* stuff, HandleProcs* procs,
                                   int32_t size, intptr_t* dataCell, GlobalsInitialiser initialiser);

// Back to asking for the path, with no recorded path.
void ResetGlobals(PluginGlobals* globals);

// First error wins: a non-zero code reaches the cell only while it holds 0.
// Both answer true when there is nothing to report.
bool CheckResult(int16_t* resultCell, ResultCode code);
bool CheckAbort(int16_t* resultCell, bool abortRequested);

// Leaves the host nothing to deliver: all four sides of theRect 0.
void EmptyRequestRect(ExportRecord* stuff);
