// What one trigger costs the device thread on the shm backend: 32 channels of a 16-element
// dacVoltage and an appliedTableMode, plus 3 board registers, read, converted and handed to their
// networks. Beside it, measured in the same run on the same mapping, the bare loop of as many
// single volatile word reads: the floor any register poll has to stand on. Each figure is also
// given as a ratio to that floor ("x_bare"); "poll_us" is the device thread's own time per poll,
// without the hand-over from the writer of the trigger to the device thread.
//
//   bench_device_poll [--benchmark_min_time=...]
#include "framework/Orvane.hpp"
#include "framework/device/RegisterAccess.hpp"
#include "framework/device/ShmBackend.hpp"
#include "framework/devicemodule/DeviceModule.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace orvane;

namespace {

constexpr int nChannels = 32;
constexpr int dacElements = 16;

std::string registerMapText() {
  std::ostringstream m;
  for (int c = 0; c < nChannels; ++c) {
    const int base = 0x100 * c;
    m << "Channel" << c << "/dacVoltage " << dacElements << " " << base << " 4 fixed 18 0 1 ro\n";
    m << "Channel" << c << "/appliedTableMode 1 " << base + 0x40 << " 4 fixed 32 0 1 ro\n";
    m << "Channel" << c << "/dcVoltage 1 " << base + 0x44 << " 4 fixed 32 16 1 rw\n";
  }
  m << "Board/driverBootStatus 1 0x8000 4 fixed 32 0 0 ro\n"
       "Board/hwProtectionMonitor 1 0x8004 4 fixed 1 0 0 ro\n"
       "Board/firmwareVersion 1 0x8008 4 fixed 32 0 0 ro\n"
       "Board/hwProtectionReset 1 0x800c 4 void 0 0 0 wo\n";
  return m.str();
}

struct BenchApp : Application {
  explicit BenchApp(std::string dmapFile) : Application("benchdevice"), dmap(std::move(dmapFile)) {}
  ~BenchApp() override { shutdown(); }
  std::string dmap;
  DeviceModule dev{this, "PiezoDriver"};
  void defineConnections() override {
    setDMapFilePath(dmap);
    dev.connectTo(ControlSystemModule{}, ControlSystemModule{}["Server"]("triggerNumber"));
  }
};

struct Setup {
  std::filesystem::path dir;
  std::string shmName;
  std::unique_ptr<BenchApp> app;
  ProcessVariable* trigger{nullptr};
  const ProcessVariable* lastPolled{nullptr};
  std::atomic<uint64_t> polls{0};
  // The same words, through a mapping of our own.
  std::vector<std::pair<uint64_t, size_t>> spans; // byte offset, words
  size_t words{0};
  const volatile uint32_t* base{nullptr};
  size_t mappedBytes{0};
  double bareNs{0};
};
Setup* setup = nullptr;

// Wall time per iteration, for the ratios; the work of the poll happens in another thread.
template <typename F> double timedLoop(benchmark::State& state, F&& body) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state)
    body();
  const auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  return state.iterations() > 0 ? ns / static_cast<double>(state.iterations()) : 0.0;
}

void BM_BareVolatileReads(benchmark::State& state) {
  std::vector<uint32_t> buffer(setup->words);
  const double ns = timedLoop(state, [&] {
    size_t i = 0;
    for (const auto& [offset, n] : setup->spans) {
      const volatile uint32_t* p = setup->base + offset / 4;
      for (size_t k = 0; k < n; ++k)
        buffer[i++] = p[k];
    }
    benchmark::DoNotOptimize(buffer.data());
  });
  setup->bareNs = ns;
  state.counters["words"] = static_cast<double>(setup->words);
}

void BM_BackendReadsOnly(benchmark::State& state) {
  auto& backend = setup->app->dev.backend();
  const auto& map = setup->app->dev.registerMap();
  std::vector<const device::RegisterInfo*> regs;
  for (const auto& r : map.registers())
    if (r.access == device::Access::readOnly) regs.push_back(&r);
  std::vector<uint32_t> buffer(setup->words);
  const double ns = timedLoop(state, [&] {
    size_t i = 0;
    for (const auto* r : regs) {
      backend.read(r->offset, buffer.data() + i, device::wordCount(*r));
      i += device::wordCount(*r);
    }
    benchmark::DoNotOptimize(buffer.data());
  });
  if (setup->bareNs > 0) state.counters["x_bare"] = ns / setup->bareNs;
}

void BM_PollPerTrigger(benchmark::State& state) {
  int64_t n = 0;
  const auto startStats = setup->app->dev.pollStatistics();
  const double ns = timedLoop(state, [&] {
    const auto before = setup->polls.load();
    setup->trigger->write(AnyVector(std::in_place_type<std::vector<int64_t>>, std::vector<int64_t>{++n}));
    while (setup->polls.load() == before)
      setup->polls.wait(before);
  });
  if (setup->bareNs > 0) state.counters["x_bare"] = ns / setup->bareNs;
  state.counters["us_per_trigger"] = ns / 1000.0;
  // The device thread's own share, without the hand-over between the threads.
  const auto stats = setup->app->dev.pollStatistics();
  if (stats.polls > startStats.polls) {
    const double busy = static_cast<double>((stats.busy - startStats.busy).count()) /
                        static_cast<double>(stats.polls - startStats.polls);
    state.counters["poll_us"] = busy / 1000.0;
    if (setup->bareNs > 0) state.counters["poll_x_bare"] = busy / setup->bareNs;
  }
}

BENCHMARK(BM_BareVolatileReads);
BENCHMARK(BM_BackendReadsOnly);
BENCHMARK(BM_PollPerTrigger)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
  Setup s;
  setup = &s;
  s.dir = std::filesystem::temp_directory_path() / ("quellor-bench-device-" + std::to_string(::getpid()));
  std::filesystem::create_directories(s.dir);
  s.shmName = "quellor-bench-" + std::to_string(::getpid());
  std::ofstream(s.dir / "bench.map") << registerMapText();
  std::ofstream(s.dir / "bench.dmap") << "PiezoDriver shm:" << s.shmName << "?map=bench.map\n";

  int status = 0;
  {
    s.app = std::make_unique<BenchApp>((s.dir / "bench.dmap").string());
    s.app->initialise();
    // The board simulator's part: the server only opens a register file that exists.
    device::ShmBackend::create(s.shmName, s.app->dev.registerMap().requiredSize());
    s.trigger = s.app->processVariables().find("/Server/triggerNumber");
    s.lastPolled = s.app->processVariables().find("/Board/firmwareVersion");
    s.app->processVariables().addUpdateHook([](const ProcessVariable& pv) {
      if (&pv == setup->lastPolled) {
        setup->polls.fetch_add(1);
        setup->polls.notify_all();
      }
    });
    for (const auto& r : s.app->dev.registerMap().registers())
      if (r.access == device::Access::readOnly) {
        s.spans.emplace_back(r.offset, device::wordCount(r));
        s.words += device::wordCount(r);
      }
    s.app->run();
    while (s.polls.load() == 0)
      s.polls.wait(0); // the opening's read is the first poll

    const int fd = ::shm_open(("/" + s.shmName).c_str(), O_RDWR, 0);
    s.mappedBytes = s.app->dev.registerMap().requiredSize();
    void* p = fd >= 0 ? ::mmap(nullptr, s.mappedBytes, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (fd >= 0) ::close(fd);
    if (p == MAP_FAILED) {
      std::fprintf(stderr, "cannot map the shared memory object\n");
      status = 1;
    } else {
      s.base = static_cast<const volatile uint32_t*>(p);
      benchmark::Initialize(&argc, argv);
      benchmark::RunSpecifiedBenchmarks();
      benchmark::Shutdown();
      ::munmap(p, s.mappedBytes);
    }
    s.app.reset();
  }
  device::ShmBackend::unlink(s.shmName);
  std::filesystem::remove_all(s.dir);
  return status;
}
