#include "render/Renderer.h"

#include <cstdlib>

#include "hostsupport/CheckedSize.h"
#include "render/BandRequest.h"
#include "render/SampleMapping.h"

namespace {

const int32_t kMaxRowsPerBand = 32767;

bool AskAbort(ExportRecord* stuff) { return stuff->abortProc != nullptr && stuff->abortProc() != 0; }

void ReportProgress(ExportRecord* stuff, int32_t done, int32_t total) {
  if (stuff->progressProc != nullptr) stuff->progressProc(done, total);
}

}  // namespace

void MapSamples(const uint8_t* samples, int32_t length, char* line) {
  ChooseSampleMapper()(samples, length, line);
}

int16_t RowsPerBand(int32_t maxData, int32_t columns, int32_t planes) {
  // No row to divide by: one band holds every row there can be.
  if (columns <= 0 || planes <= 0) return kMaxRowsPerBand;
  int32_t rows = maxData / columns / planes;
  if (rows < 1) rows = 1;
  if (rows > kMaxRowsPerBand) rows = kMaxRowsPerBand;
  return static_cast<int16_t>(rows);
}

ResultCode WriteBytes(PlatformFile file, int32_t* count, const void* buffer) {
  int32_t written = 0;
  if (!PlatformWriteFile(file, buffer, *count, &written)) return kResultWriteError;
  bool complete = written == *count;
  *count = written;
  return complete ? kResultOk : kResultWriteError;
}

bool WriteImageAsText(PluginGlobals* globals) {
  ExportRecord* stuff = globals->stuff;
  int16_t* result = globals->result;
  const int32_t rows = stuff->imageSize.v;
  const int32_t columns = stuff->imageSize.h;
  const int32_t planes = stuff->planes;

  // Start refuses such records before any file exists; the renderer still
  // never sizes a buffer from them.
  int64_t lineLength = 0;
  int64_t bufferSize = 0;
  if (!CheckedMultiply(columns, planes, INT32_MAX - 1, &lineLength) ||
      !CheckedAdd(lineLength, 1, INT32_MAX, &bufferSize)) {
    CheckResult(result, kResultBadParameter);
    return false;
  }

  const int32_t rowsPerBand = RowsPerBand(stuff->maxData, columns, planes);
  const SampleMapper map = ChooseSampleMapper();
  for (int32_t top = 0; top < rows;) {
    const int32_t bottom = rows - top > rowsPerBand ? top + rowsPerBand : rows;

    char* line = static_cast<char*>(std::malloc(static_cast<size_t>(bufferSize)));
    if (line == nullptr) {
      CheckResult(result, kResultOutOfMemory);
      return false;
    }
    bool ok = CheckAbort(result, AskAbort(stuff));

    const uint8_t* p = nullptr;
    int32_t rowBytes = 0;
    // A row of no samples needs nothing from the host.
    if (ok && lineLength > 0) {
      BandRequest band{static_cast<int16_t>(top), 0, static_cast<int16_t>(bottom),
                       static_cast<int16_t>(columns), 0, static_cast<int16_t>(planes - 1)};
      ok = CheckResult(result, RequestBand(stuff, &band, &p, &rowBytes));
    }

    for (int32_t r = top; ok && r < bottom; ++r) {
      int32_t count = static_cast<int32_t>(bufferSize);
      ReportProgress(stuff, r, rows);
      map(p, static_cast<int32_t>(lineLength), line);
      line[lineLength] = '\n';
      ok = CheckAbort(result, AskAbort(stuff)) &&
           CheckResult(result, WriteBytes(globals->fileRef, &count, line));
      if (p != nullptr) p += rowBytes;
    }

    std::free(line);
    if (!ok) return false;
    top = bottom;
  }
  return true;
}
