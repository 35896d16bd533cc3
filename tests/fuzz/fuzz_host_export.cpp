// The whole export path on damaged images: the host's exporter, the band
// reader, the plug-in's entry point and its output file, writing into a
// temporary folder, under the command-line host's real memory budget. An
// export either fails with a result code or writes a text of equal lines of
// ramp characters; either way the folder holds nothing else afterwards and
// every handle is released. Images that would give more than 4 MB of text
// are left to the image targets.
//
// Input: one byte of options (bits 0-3: mode, bit 4: keep alpha, bit 5:
// invert, bits 6-7: band size), then the image file.
//
// fuzz-seconds: 60
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/hosting/Exporter.h"
#include "host/hosting/HostSuites.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

std::string gFolder;

void RemoveFolder() {
  unlink((gFolder + "/out/in.txt").c_str());
  rmdir((gFolder + "/out").c_str());
  unlink((gFolder + "/in.img").c_str());
  rmdir(gFolder.c_str());
}

const std::string& Folder() {
  if (gFolder.empty()) {
    char name[] = "/tmp/gw-fuzz-export-XXXXXX";
    Check(mkdtemp(name) != nullptr);
    mkdir((std::string(name) + "/out").c_str(), 0700);
    gFolder = name;
    std::atexit(RemoveFolder);
  }
  return gFolder;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

bool IsRampText(const std::string& text) {
  if (text.empty() || text.back() != '\n') return false;
  size_t line = text.find('\n');
  for (size_t at = 0; at < text.size(); at += line + 1) {
    if (text.compare(at + line, 1, "\n") != 0) return false;
  }
  return text.size() % (line + 1) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string image = Folder() + "/in.img";
  const std::string out = Folder() + "/out/";
  if (FILE* f = std::fopen(image.c_str(), "wb")) {
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
  } else {
    return 0;
  }

  static const int16_t kModes[] = {kImageModeOwn, kImageModeGray, kImageModeIndexed, kImageModeRGB,
                                   kImageModeCMYK, kImageModeLab, kImageModeHSB, kImageModeMultichannel};
  ExportRequest request;
  request.imagePath = image;
  request.documentName = image;
  request.imageOptions.mode = kModes[data[0] & 7];
  request.imageOptions.keepAlpha = (data[0] & 0x10) != 0;
  request.imageOptions.invert = (data[0] & 0x20) != 0;
  request.imageOptions.memoryLimit = uint64_t{1} << 30;
  static const int32_t kBands[] = {1, 4096, 65536, 4 << 20};
  request.maxData = kBands[data[0] >> 6];
  // Images whose text would be large take seconds to write and check, and
  // their decoding is the image targets' work: left to them.
  {
    ImageFile* probe = nullptr;
    ImageInfo info;
    std::string error;
    if (OpenImage(image.c_str(), request.imageOptions, &probe, &info, &error)) {
      bool large = int64_t{info.width} * info.height * info.planes > (int64_t{4} << 20);
      CloseImage(probe);
      if (large) return 0;
    }
  }
  RecordedStep step;
  step.parameters.push_back(StepParameter{FourCharCode('I', 'n', ' ', ' '), out});
  request.step = &step;

  size_t handlesBefore = HostLiveHandles();
  PluginSession session;
  session.entry = PluginMain;
  ExportOutcome outcome;
  RunExport(&session, request, &outcome);
  if (session.dataCell != 0) HostDisposeHandle(reinterpret_cast<Handle>(session.dataCell));
  Check(HostLiveHandles() == handlesBefore);

  std::vector<std::string> left = Entries(out);
  if (outcome.result == 0 && !outcome.imageError) {
    Check(left.size() == 1 && left[0] == "in.txt");
    std::string text;
    if (FILE* f = std::fopen((out + "in.txt").c_str(), "rb")) {
      char buffer[1 << 16];
      size_t n = 0;
      while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
      std::fclose(f);
    }
    Check(IsRampText(text));
    unlink((out + "in.txt").c_str());
  } else {
    Check(outcome.result != 0 || outcome.imageError);
    Check(left.empty());
  }
  return 0;
}
