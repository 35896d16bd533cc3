// The renderer's throughput: mapping alone, mapping and writing a whole
// 12-megasample image to a fresh file through the host interface, and a
// baseline that only writes the same lines, one write per row.
//
//   build/bench_renderer --benchmark_counters_tabular=true
//
// Targets on a development machine: mapping at least 3 GB/s; rendering
// within 1.3 times the write-only baseline.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "render/Renderer.h"
#include "render/SampleMapping.h"

namespace {

const int64_t kImageSamples = 12 * 1000 * 1000;

std::vector<uint8_t> Samples(size_t n) {
  std::vector<uint8_t> v(n);
  uint32_t x = 12345;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

// A host that serves bands straight from an image in memory.
struct BenchHost {
  ExportRecord record{};
  const uint8_t* image = nullptr;
  int32_t rowBytes = 0;
};
BenchHost* gHost = nullptr;

ResultCode GW_HOSTCALL ServeBand() {
  gHost->record.data = const_cast<uint8_t*>(gHost->image) +
                       static_cast<size_t>(gHost->record.theRect.top) * static_cast<size_t>(gHost->rowBytes);
  gHost->record.rowBytes = gHost->rowBytes;
  return 0;
}
HostBoolean GW_HOSTCALL NeverAbort() { return 0; }
void GW_HOSTCALL IgnoreProgress(int32_t, int32_t) {}

std::string FreshPath() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/gw-bench-" + std::to_string(getpid()) + ".txt";
}

int OpenFresh(const std::string& path) {
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 3) std::abort();
  return fd;
}

// Mapping with one version: range(1) indexes the built-in versions.
void Map(benchmark::State& state) {
  const auto length = static_cast<int32_t>(state.range(0));
  SampleMapper map = SampleMapperAt(static_cast<int>(state.range(1)));
  if (map == nullptr) {
    state.SkipWithError("this processor cannot run this version");
    return;
  }
  state.SetLabel(SampleMapperName(static_cast<int>(state.range(1))));
  std::vector<uint8_t> row = Samples(static_cast<size_t>(length));
  std::vector<char> line(static_cast<size_t>(length));
  for (auto _ : state) {
    map(row.data(), length, line.data());
    benchmark::DoNotOptimize(line.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * length);
}

void Render(benchmark::State& state) {
  const auto columns = static_cast<int32_t>(state.range(0));
  const auto rows = static_cast<int32_t>(kImageSamples / columns);
  std::vector<uint8_t> image = Samples(static_cast<size_t>(rows) * static_cast<size_t>(columns));
  BenchHost host;
  host.image = image.data();
  host.rowBytes = columns;
  host.record.imageMode = kModeGrayScale;
  host.record.imageSize = Point{static_cast<int16_t>(rows), static_cast<int16_t>(columns)};
  host.record.planes = 1;
  host.record.maxData = 524288;
  host.record.advanceState = ServeBand;
  host.record.abortProc = NeverAbort;
  host.record.progressProc = IgnoreProgress;
  gHost = &host;
  const std::string path = FreshPath();
  int16_t result = 0;
  for (auto _ : state) {
    PluginGlobals globals{};
    globals.result = &result;
    globals.stuff = &host.record;
    globals.fileRef = OpenFresh(path);
    if (!WriteImageAsText(&globals)) state.SkipWithError("render failed");
    close(globals.fileRef);
  }
  unlink(path.c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(rows) * (columns + 1));
}

void WriteOnly(benchmark::State& state) {
  const auto columns = static_cast<int32_t>(state.range(0));
  const auto rows = static_cast<int32_t>(kImageSamples / columns);
  std::vector<uint8_t> image = Samples(static_cast<size_t>(rows) * static_cast<size_t>(columns));
  // The same lines the renderer writes, made beforehand.
  std::vector<char> text(static_cast<size_t>(rows) * static_cast<size_t>(columns + 1));
  for (int32_t r = 0; r < rows; ++r) {
    char* line = text.data() + static_cast<size_t>(r) * static_cast<size_t>(columns + 1);
    MapSamples(image.data() + static_cast<size_t>(r) * static_cast<size_t>(columns), columns, line);
    line[columns] = '\n';
  }
  const std::string path = FreshPath();
  for (auto _ : state) {
    int fd = OpenFresh(path);
    for (int32_t r = 0; r < rows; ++r) {
      int32_t count = columns + 1;
      if (WriteBytes(fd, &count, text.data() + static_cast<size_t>(r) * static_cast<size_t>(count)) != 0) {
        state.SkipWithError("write failed");
      }
    }
    close(fd);
  }
  unlink(path.c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(rows) * (columns + 1));
}

}  // namespace

BENCHMARK(Map)->ArgsProduct({{1000, 4000, 12000, 30000}, benchmark::CreateDenseRange(0, SampleMapperCount() - 1, 1)});
BENCHMARK(Render)->Arg(1000)->Arg(4000)->Arg(12000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteOnly)->Arg(1000)->Arg(4000)->Arg(12000)->Arg(30000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
