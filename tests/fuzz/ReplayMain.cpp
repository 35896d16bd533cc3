// Runs a fuzz target over files and folders of inputs without libFuzzer, so
// that builds without it (the sanitizer build) replay every corpus.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  std::string bytes = s.str();
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return 1;
}

int Run(const std::string& path) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) return RunFile(path);
  int count = 0;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    int n = Run(path + "/" + name);
    if (n < 0) {
      closedir(dir);
      return -1;
    }
    count += n;
  }
  closedir(dir);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  int total = 0;
  for (int i = 1; i < argc; ++i) {
    int n = Run(argv[i]);
    if (n < 0) return 1;
    total += n;
  }
  std::printf("replayed %d inputs\n", total);
  return 0;
}
