// An in-process host for tests: the records a host hands the plug-in, with a
// handle suite, descriptor suites, band delivery, abort and progress that a
// test can steer and inspect. Callbacks carry no context, so one TestHost is
// current at a time (the most recently constructed one).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "plugin/HostInterface.h"
#include "plugin/PluginGlobals.h"

struct TestHandleControl {
  bool failNew = false;       // newProc answers null
  bool nullLock = false;      // lockProc answers null
  bool reportNegativeSize = false;  // getSizeProc answers -1
  int newCalls = 0;
  int disposeCalls = 0;
  int lockCalls = 0;
  int unlockCalls = 0;
  int lockDepth = 0;          // locks not yet matched by an unlock, all handles
};

// One recorded descriptor entry: a key and an alias value (bytes).
struct TestDescriptorEntry {
  DescriptorKeyID key;
  std::string alias;
};

struct TestDescriptorControl {
  bool openReadFails = false;     // openReadDescriptorProc answers null
  bool openWriteFails = false;    // openWriteDescriptorProc answers null
  // getAliasProc hands back the recorded bytes without the NULs that end
  // them, as a host that stores the path as text would.
  bool aliasWithoutNuls = false;
  bool overrideCloseRead = false;
  ResultCode closeReadResult = 0;  // used when overrideCloseRead
  int getAliasCalls = 0;
  int openReadCalls = 0;
  int openWriteCalls = 0;
  int putAliasCalls = 0;
};

struct TestBandControl {
  ResultCode failWith = 0;     // advanceState answers this ...
  int failAtRequest = -1;      // ... at this request (0-based); -1 never
  std::vector<Rect> requests;  // theRect of every call
  std::vector<std::pair<int16_t, int16_t>> planes;  // loPlane, hiPlane of every call
};

struct TestHost {
  TestHost();
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // The image the host delivers: rows × columns pixels of `planes` bytes.
  void SetImage(int rows, int columns, int planes, std::vector<uint8_t> samples,
                int16_t mode = kModeGrayScale);
  // The document name, as the host passes it: a length byte and characters.
  void SetDocumentName(const std::string& name);
  // Replaces the recorded descriptor (none when `entries` is empty and
  // `present` is false).
  void SetRecordedDescriptor(const std::vector<TestDescriptorEntry>& entries, bool present = true);
  // The descriptor the plug-in left in descriptorParameters, decoded.
  bool ReadBackDescriptor(std::vector<TestDescriptorEntry>* entries) const;

  // Calls PluginMain with this host's records; returns the result cell.
  int16_t Call(int16_t selector);
  // prepare, start, finish, as a host runs an export; the first failure's code.
  int16_t Export();

  // Test handles: made by the suite below, checked and counted.
  Handle MakeHandle(const void* bytes, int32_t size);
  std::string HandleBytes(Handle h) const;
  bool IsLiveHandle(Handle h) const;
  size_t LiveHandleCount() const;

  // The plug-in's globals in the data cell; null before the first call.
  PluginGlobals* Globals() const;

  ExportRecord record{};
  PlatformData platform{};
  HandleProcs handleProcs{};
  PIDescriptorParameters descriptorParameters{};
  ReadDescriptorProcs readProcs{};
  WriteDescriptorProcs writeProcs{};
  intptr_t dataCell = 0;
  int16_t resultCell = 0;

  TestHandleControl handles;
  TestDescriptorControl descriptors;
  TestBandControl bands;

  // Abort: answers true from the abortAtCall-th call of abortProc (0-based).
  int abortAtCall = -1;
  int abortCalls = 0;
  // Abort from the moment progress reports row abortAtRow.
  int abortAtRow = -1;
  std::vector<std::pair<int32_t, int32_t>> progress;
  // Called with every row that progress reports, after it is recorded: a
  // test's way into the middle of an export.
  std::function<void(int32_t row)> onProgress;

  int rows = 0;
  int columns = 0;
  int planes = 0;
  std::vector<uint8_t> image;
  std::vector<uint8_t> bandBuffer;  // what was last delivered
  std::set<void*> liveHandles;
};

// The host that the callbacks currently serve.
TestHost* CurrentTestHost();

// Handles and suites with the host's calling convention, for tests that
// build their own records.
Handle GW_HOSTCALL TestNewHandle(int32_t size);
void GW_HOSTCALL TestDisposeHandle(Handle h);
int32_t GW_HOSTCALL TestGetHandleSize(Handle h);
char* GW_HOSTCALL TestLockHandle(Handle h, HostBoolean moveHigh);
void GW_HOSTCALL TestUnlockHandle(Handle h);

// The file's whole content, or "<missing>" when it cannot be read.
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// A fresh empty folder for one test, removed with its content by the caller
// through RemoveTree. The path ends without a separator.
std::string MakeTempFolder();
void RemoveTree(const std::string& path);
// The folder separator of the platform's paths.
char PathSeparator();
// folder + separator + name.
std::string JoinPath(const std::string& folder, const std::string& name);
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> ListFolder(const std::string& folder);
bool MakeFolder(const std::string& path);
