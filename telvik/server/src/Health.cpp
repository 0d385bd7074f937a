#include "telvik/server/Health.hpp"

#include "ProductVersion.hpp"

#include <boost/asio/steady_timer.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

namespace telvik::server {

namespace {

using orvane::AnyVector;
using orvane::ValueType;

// One variable, fed by the health sampler.
class Feeder final : public orvane::detail::ExternalEndpoint {
 public:
  void consume(const AnyVector&, const orvane::VersionNumber&, orvane::DataValidity) override {}
  void connected(const orvane::detail::NetworkPort& port) override { port_ = port; }

  /// Sends when the value differs from the last one sent: an unchanged count is no event.
  void send(const AnyVector& value, const orvane::VersionNumber& version) {
    if (!port_ || (sent_ && value == last_)) return;
    port_.send(value, version, orvane::DataValidity::ok);
    last_ = value;
    sent_ = true;
  }

 private:
  orvane::detail::NetworkPort port_;
  AnyVector last_;
  bool sent_ = false;
};

struct Spec {
  const char* name;
  ValueType type;
  const char* unit;
  const char* description;
};

// The order is the index of each variable's feeder below.
enum Index {
  uptime,
  startTime,
  version,
  cpuLoad,
  residentMemory,
  openDescriptors,
  descriptorLimit,
  clients,
  channels,
  lostValues,
  lostValuesWorst,
  lostValuesWorstCount,
  settingsMessage,
  heartbeat,
  count
};

constexpr Spec specs[count] = {
    {"uptime", ValueType::int32, "s", "Time since the server started"},
    {"startTime", ValueType::string, "", "When the server started (local time)"},
    {"version", ValueType::string, "", "Version of the server program"},
    {"cpuLoad", ValueType::float64, "%",
     "CPU time of the server process over the last second, in % of the host (100: every core busy)"},
    {"residentMemory", ValueType::float64, "MiB", "Resident memory of the server process"},
    {"openDescriptors", ValueType::int32, "", "File descriptors open in the server process"},
    {"descriptorLimit", ValueType::int32, "", "Most file descriptors the server process may open"},
    {"clients", ValueType::int32, "", "Channel Access clients connected (circuits)"},
    {"channels", ValueType::int32, "", "Channel Access channels open over all circuits"},
    {"lostValues", ValueType::uint64, "", "Values lost in full queues of the variable networks since start"},
    {"lostValuesWorst", ValueType::string, "", "The variable that lost most values (empty: none lost any)"},
    {"lostValuesWorstCount", ValueType::uint64, "", "Values the variable that lost most has lost"},
    {"settingsMessage", ValueType::string, "",
     "Why operator settings are not being saved; empty while they are"},
    {"heartbeat", ValueType::int32, "", "Counts up once a second while the server runs"},
};

template <typename T> AnyVector one(T v) {
  return AnyVector(std::in_place_type<std::vector<T>>, std::vector<T>{std::move(v)});
}

int32_t clampInt(std::uint64_t v) {
  return static_cast<int32_t>(std::min<std::uint64_t>(v, std::numeric_limits<int32_t>::max()));
}

std::string localTime(std::chrono::system_clock::time_point t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::localtime_r(&tt, &tm);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm);
  return text;
}

double cpuSecondsOfProcess() {
  rusage u{};
  if (::getrusage(RUSAGE_SELF, &u) != 0) return 0;
  auto s = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return s(u.ru_utime) + s(u.ru_stime);
}

} // namespace

std::optional<std::uint64_t> residentBytesFromStatm(std::string_view statm, std::uint64_t pageSize) {
  std::istringstream in{std::string(statm)};
  std::uint64_t size = 0, resident = 0;
  if (!(in >> size >> resident)) return std::nullopt;
  return resident * pageSize;
}

ProcessSample sampleProcess() {
  ProcessSample s;
  s.cpuSeconds = cpuSecondsOfProcess();
  {
    std::ifstream statm("/proc/self/statm");
    std::string text;
    if (std::getline(statm, text))
      s.residentBytes = residentBytesFromStatm(text, static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)));
  }
  std::error_code ec;
  std::uint64_t n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec))
    ++n;
  // The listing holds a descriptor of its own while it reads.
  if (!ec && n > 0) s.openDescriptors = n - 1;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    s.descriptorLimit = static_cast<std::uint64_t>(limit.rlim_cur);
  return s;
}

struct HealthVariables::Impl : std::enable_shared_from_this<HealthVariables::Impl> {
  Feeder feeders[count];
  std::chrono::system_clock::time_point started = std::chrono::system_clock::now();
  std::chrono::steady_clock::time_point startedSteady = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastSample{};
  double lastCpu = 0;
  int32_t beats = 0;
  std::unique_ptr<boost::asio::steady_timer> timer;
  std::chrono::steady_clock::time_point next{};
  std::function<HealthCounters()> counters;
  bool stopped = false;

  void schedule() {
    next += std::chrono::seconds(1);
    // After a stall the next update is one second from now, not a burst of the missed ones.
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now + std::chrono::seconds(1);
    timer->expires_at(next);
    std::weak_ptr<Impl> weak = shared_from_this();
    timer->async_wait([weak, this](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!self || ec || stopped) return;
      update(counters());
      schedule();
    });
  }

  void update(const HealthCounters& c) {
    const orvane::VersionNumber v;
    const auto now = std::chrono::steady_clock::now();
    const auto process = sampleProcess();
    const auto up = std::chrono::duration_cast<std::chrono::seconds>(now - startedSteady).count();
    feeders[uptime].send(one<int32_t>(clampInt(static_cast<std::uint64_t>(up))), v);
    feeders[startTime].send(one<std::string>(localTime(started)), v);
    feeders[version].send(one<std::string>(product::versionText), v);
    if (lastSample != std::chrono::steady_clock::time_point{}) {
      const double wall = std::chrono::duration<double>(now - lastSample).count();
      const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
      if (wall > 0)
        feeders[cpuLoad].send(one<double>(100.0 * (process.cpuSeconds - lastCpu) / (wall * cores)), v);
    } else {
      feeders[cpuLoad].send(one<double>(0.0), v);
    }
    lastSample = now;
    lastCpu = process.cpuSeconds;
    if (process.residentBytes)
      feeders[residentMemory].send(
          one<double>(static_cast<double>(*process.residentBytes) / (1024.0 * 1024.0)), v);
    if (process.openDescriptors)
      feeders[openDescriptors].send(one<int32_t>(clampInt(*process.openDescriptors)), v);
    feeders[descriptorLimit].send(
        one<int32_t>(process.descriptorLimit ? clampInt(*process.descriptorLimit) : 0), v);
    feeders[clients].send(one<int32_t>(clampInt(c.clients)), v);
    feeders[channels].send(one<int32_t>(clampInt(c.channels)), v);
    feeders[lostValues].send(one<std::uint64_t>(c.lost.total), v);
    feeders[lostValuesWorst].send(one<std::string>(c.lost.worstPath), v);
    feeders[lostValuesWorstCount].send(one<std::uint64_t>(c.lost.worstCount), v);
    feeders[settingsMessage].send(one<std::string>(c.settingsProblem), v);
    beats = beats == std::numeric_limits<int32_t>::max() ? 0 : beats + 1;
    feeders[heartbeat].send(one<int32_t>(beats), v);
  }
};

HealthVariables::HealthVariables(orvane::Application& app) : impl_(std::make_shared<Impl>()) {
  for (int i = 0; i < count; ++i) {
    orvane::ExternalNode node;
    node.path = std::string("/Server/") + specs[i].name;
    node.role = orvane::ExternalNode::Role::feeder;
    node.type = specs[i].type;
    node.nElements = 1;
    node.unit = specs[i].unit;
    node.description = specs[i].description;
    node.ownerName = "the server's health variables";
    node.endpoint = &impl_->feeders[i];
    app.addExternalNode(std::move(node));
  }
}

HealthVariables::~HealthVariables() = default;

void HealthVariables::update(const HealthCounters& counters) {
  impl_->update(counters);
}

void HealthVariables::start(boost::asio::io_context& io, std::function<HealthCounters()> counters) {
  impl_->counters = std::move(counters);
  impl_->timer = std::make_unique<boost::asio::steady_timer>(io);
  impl_->stopped = false;
  impl_->update(impl_->counters());
  impl_->next = std::chrono::steady_clock::now();
  impl_->schedule();
}

void HealthVariables::stop() {
  impl_->stopped = true;
  impl_->timer.reset();
}

} // namespace telvik::server
