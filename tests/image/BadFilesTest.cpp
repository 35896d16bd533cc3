// Every file of tests/data/bad/ is a test of its own: it must be refused,
// at open or while its rows are read, with a message that names the file
// and says what is wrong (tests/data/bad/expected-messages.txt), in the
// image's own mode and in a converted one. A file whose format this build
// does not read must say that instead.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "host/image/ImageInput.h"
#include "host/image/readers/ImageReader.h"

namespace {

const char kBadFolder[] = GW_IMAGE_TEST_DATA "/bad";
const char kManifest[] = "expected-messages.txt";

struct BadFile {
  std::string name;
  std::string expected;  // a part of the message; empty when the manifest lacks the file
};

// Names the file in gtest's messages.
void PrintTo(const BadFile& file, std::ostream* out) { *out << file.name; }

std::vector<BadFile> ListBadFiles() {
  std::map<std::string, std::string> manifest;
  std::ifstream in(std::string(kBadFolder) + "/" + kManifest);
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    manifest[line.substr(0, tab)] = line.substr(tab + 1);
  }
  std::vector<BadFile> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(kBadFolder, ec)) {
    std::string name = entry.path().filename().string();
    if (name == kManifest) continue;
    files.push_back(BadFile{name, manifest.count(name) != 0 ? manifest[name] : std::string()});
  }
  std::sort(files.begin(), files.end(), [](const BadFile& a, const BadFile& b) { return a.name < b.name; });
  return files;
}

// The reader a file's name says it is for ("jpeg-...", "png-...", "heif-"
// for HEIF/HEIC and ISO media, "avif-"), if this build lacks it.
const char* MissingReader(const std::string& name) {
  struct Prefix {
    const char* prefix;
    const ImageReader* reader;
    const char* format;
  };
  const Prefix prefixes[] = {{"jpeg-", kJpegReader, "JPEG"}, {"png-", kPngReader, "PNG"},
                             {"tiff-", kTiffReader, "TIFF"}, {"gif-", kGifReader, "GIF"},
                             {"webp-", kWebpReader, "WebP"}, {"heif-", kHeifReader, "HEIF"},
                             {"avif-", kHeifReader, "AVIF"}, {"jxl-", kJxlReader, "JPEG XL"}};
  for (const Prefix& p : prefixes) {
    if (name.rfind(p.prefix, 0) == 0 && p.reader == nullptr) return p.format;
  }
  return nullptr;
}

// Whether a file goes to the system's decoders (the Windows Imaging
// Component), whose messages are their own: the file must still be refused,
// named, on one line.
bool SystemDecoded(const std::string& name) {
  if (kSystemDecoders == nullptr) return false;
  for (const char* prefix : {"jpeg-", "png-", "tiff-", "gif-"}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// Opens and reads every row a band at a time; the message of the failure,
// or empty when everything was read.
std::string Refusal(const std::string& path, int16_t mode) {
  ImageOptions options;
  options.mode = mode;
  ImageFile* image = nullptr;
  ImageInfo info;
  std::string error;
  if (!OpenImage(path.c_str(), options, &image, &info, &error)) return error;
  const int32_t rowBytes = info.mode == kImageModeBitmap ? (info.width + 7) / 8 : info.width * info.planes;
  const int32_t rows = rowBytes > 524288 ? 1 : 524288 / rowBytes;
  std::vector<uint8_t> band(static_cast<size_t>(rowBytes) * rows);
  for (int32_t top = 0; top < info.height && error.empty(); top += rows) {
    int32_t bottom = top + rows < info.height ? top + rows : info.height;
    ReadImageRows(image, top, bottom, 0, info.width, 0, info.planes - 1, band.data(), rowBytes, &error);
  }
  CloseImage(image);
  return error;
}

class BadFiles : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadFiles, AreRefusedWithAClearMessage) {
  const BadFile& file = GetParam();
  ASSERT_FALSE(file.expected.empty()) << file.name << " is not in " << kManifest;
  const std::string path = std::string(kBadFolder) + "/" + file.name;
  const char* missing = MissingReader(file.name);
  const bool system = SystemDecoded(file.name);
  if (system && file.name == "jpeg-marker-inside-scan.jpg") {
    GTEST_SKIP() << "Wine's JPEG decoder only warns of a marker inside a scan and fills the rest: "
                    "the host cannot see it";
  }
  for (int16_t mode : {kImageModeOwn, kImageModeGray}) {
    SCOPED_TRACE(ImageModeName(mode));
    std::string message = Refusal(path, mode);
    ASSERT_FALSE(message.empty()) << file.name << " was read without complaint";
    EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << message;
    if (missing != nullptr) {
      EXPECT_NE(message.find(std::string("this build cannot read ") + missing), std::string::npos) << message;
    } else if (!system) {
      EXPECT_NE(message.find(file.expected), std::string::npos) << message;
    }
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
}

TEST(BadFilesCorpus, EveryManifestEntryHasItsFile) {
  std::ifstream in(std::string(kBadFolder) + "/" + kManifest);
  ASSERT_TRUE(in.good());
  std::string line;
  int entries = 0;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    ++entries;
    EXPECT_TRUE(std::filesystem::exists(std::string(kBadFolder) + "/" + line.substr(0, tab))) << line;
  }
  EXPECT_GE(entries, 40);
}

std::string TestName(const ::testing::TestParamInfo<BadFile>& info) {
  std::string name = info.param.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, BadFiles, ::testing::ValuesIn(ListBadFiles()), TestName);

}  // namespace
