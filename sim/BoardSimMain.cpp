// quellor_board_sim: the driver board's firmware on the register file that quellor_server maps.

#include "ProductVersion.hpp"
#include "framework/device/Device.hpp"
#include "framework/device/DeviceError.hpp"
#include "framework/device/ShmBackend.hpp"
#include "sim/BoardModel.hpp"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include <fcntl.h>
#include <unistd.h>

namespace {

namespace dev = orvane::device;
using quellor::sim::BoardModel;
using quellor::sim::ModelOptions;

constexpr const char* usageText =
    "usage: quellor_board_sim [options]\n"
    "Simulates the piezo driver board's firmware on the register file of a device in a dmap file\n"
    "(shm: or mmap:), cycle by cycle. Starting is a power-on: the board registers are cleared and\n"
    "driverBootStatus reads 0 until initHardware.py has run.\n"
    "\n"
    "  --dmap FILE             device map (default quellor.dmap)\n"
    "  --alias NAME            device alias (default PiezoDriver)\n"
    "  --tick-rate HZ          firmware cycles per second (default 1000)\n"
    "  --channels N            channels to model (default: every ChannelN of the map)\n"
    "  --protection-limit V    |output| that trips the protection while Sim/protectionLimit is 0\n"
    "                          (default 125)\n"
    "  --once                  run one cycle at once and exit\n"
    "  --ticks N               run N cycles at the tick rate and exit\n"
    "  --help                  this text\n"
    "  --version               the version\n"
    "\n"
    "Stops on SIGINT or SIGTERM. Exit status 0, 1 on a failure of the board, 2 on bad options.\n";

struct Options {
  std::string dmap{"quellor.dmap"};
  std::string alias{"PiezoDriver"};
  double tickRate{1000.0};
  ModelOptions model;
  std::optional<std::uint64_t> ticks;
};

struct UsageError {
  std::string message;
};

std::uint64_t parseCount(std::string_view option, std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size())
    throw UsageError{std::string(option) + ": '" + std::string(text) + "' is not a whole number"};
  return value;
}

double parsePositive(std::string_view option, const std::string& text, double max) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(value > 0.0 && value <= max))
    throw UsageError{std::string(option) + ": '" + text + "' is not a number in (0, " +
                     std::to_string(static_cast<long long>(max)) + "]"};
  return value;
}

/// The options, or the text that --help or --version asks for.
std::variant<Options, std::string> parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError{std::string(arg) + " needs a value"};
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") return std::string(usageText);
    if (arg == "--version") return std::string("quellor_board_sim ") + product::versionText + "\n";
    if (arg == "--dmap")
      o.dmap = value();
    else if (arg == "--alias")
      o.alias = value();
    else if (arg == "--tick-rate")
      o.tickRate = parsePositive(arg, value(), 1e6);
    else if (arg == "--channels")
      o.model.channels = static_cast<std::size_t>(parseCount(arg, value()));
    else if (arg == "--protection-limit")
      o.model.protectionLimit = parsePositive(arg, value(), 1e9);
    else if (arg == "--once")
      o.ticks = 1;
    else if (arg == "--ticks")
      o.ticks = parseCount(arg, value());
    else
      throw UsageError{"unknown option '" + std::string(arg) + "'"};
  }
  if (o.dmap.empty()) throw UsageError{"--dmap: empty file name"};
  return o;
}

/// The register file is the simulator's to provide, like the board provides its BAR: a
/// shared-memory object (created, or grown to the map's size), or a plain file named by an mmap:
/// URI. Device files and present plain files are left alone. The server never makes one, so that
/// it cannot run a channel on a board that nobody simulates.
void provideRegisterFile(const dev::Device& device) {
  if (device.entry.kind == dev::BackendKind::shm) {
    dev::ShmBackend::create(device.entry.target, device.registers->requiredSize());
    return;
  }
  const std::filesystem::path file = device.entry.target;
  if (std::filesystem::exists(file)) return;
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  if (fd < 0)
    throw dev::DeviceError("cannot create register file " + file.string() + ": " +
                           std::generic_category().message(errno));
  const bool sized = ::ftruncate(fd, static_cast<off_t>(device.registers->requiredSize())) == 0;
  const int error = errno;
  ::close(fd);
  if (!sized)
    throw dev::DeviceError("cannot size register file " + file.string() + ": " +
                           std::generic_category().message(error));
  std::printf("quellor_board_sim: created register file %s (%llu bytes)\n", file.c_str(),
              static_cast<unsigned long long>(device.registers->requiredSize()));
}

int run(const Options& o) {
  dev::Device device = dev::openDevice(o.dmap, o.alias);
  if (device.entry.kind == dev::BackendKind::dummy)
    throw dev::DeviceError(o.dmap + ":" + std::to_string(device.entry.line) + ": device '" + o.alias + "' (" +
                           device.entry.uri +
                           ") lives inside the server's process; the simulator needs a shm: or mmap: device");
  provideRegisterFile(device);
  device.backend->open();

  BoardModel model(*device.backend, o.model);
  model.onEvent([](const std::string& line) { std::printf("quellor_board_sim: %s\n", line.c_str()); });

  std::printf("quellor_board_sim: device %s, map %s: %zu channels, %g cycles/s, protection limit +-%g V\n",
              device.backend->description().c_str(), device.registers->file().c_str(), model.channelCount(),
              o.tickRate, model.protectionLimit());
  std::string sim;
  for (const auto& path : model.faultInjectionRegisters())
    sim += " " + path;
  std::printf("quellor_board_sim: fault injection:%s\n",
              sim.empty() ? " none (the map has no Sim/ registers)" : sim.c_str());
  model.reboot();

  if (o.ticks && *o.ticks == 1) {
    model.tick();
    return 0;
  }

  // The signals are taken synchronously while waiting for the next cycle, so a stop request ends
  // the wait at once, whatever the tick rate.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  using Clock = std::chrono::steady_clock;
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / o.tickRate));
  auto next = Clock::now();
  for (std::uint64_t done = 0; !o.ticks || done < *o.ticks; ++done) {
    model.tick();
    next += period;
    const auto now = Clock::now();
    // Behind by more than a cycle (a stopped process, a slow machine): start afresh instead of
    // running the missed cycles in a burst.
    if (next < now - period) next = now;
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(next - now);
    const timespec timeout{static_cast<time_t>(std::max<long long>(wait.count(), 0) / 1000000000),
                           static_cast<long>(std::max<long long>(wait.count(), 0) % 1000000000)};
    int signal = 0;
    do {
      signal = sigtimedwait(&stops, nullptr, &timeout);
    } while (signal < 0 && errno == EINTR);
    if (signal > 0) {
      std::printf("quellor_board_sim: stopped by %s after %llu cycles\n",
                  signal == SIGINT ? "SIGINT" : "SIGTERM", static_cast<unsigned long long>(model.ticks()));
      return 0;
    }
  }
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::variant<Options, std::string> parsed;
  try {
    parsed = parseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "quellor_board_sim: %s\n%s", e.message.c_str(), usageText);
    return 2;
  }
  if (const auto* text = std::get_if<std::string>(&parsed)) {
    std::fputs(text->c_str(), stdout);
    return 0;
  }
  try {
    return run(std::get<Options>(parsed));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quellor_board_sim: %s\n", e.what());
    return 1;
  }
}
