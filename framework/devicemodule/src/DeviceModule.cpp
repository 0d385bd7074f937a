#include "framework/devicemodule/DeviceModule.hpp"

#include "framework/Log.hpp"
#include "framework/devicemodule/DeviceRecovery.hpp"

#include "framework/device/Device.hpp"
#include "framework/device/DeviceError.hpp"
#include "framework/device/DummyBackend.hpp"
#include "framework/device/RegisterAccess.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <mutex>
#include <optional>
#include <shared_mutex>

namespace orvane {

namespace {

using device::Access;
using device::RecoveryAction;
using device::RecoveryEvent;
using device::RecoveryState;
using device::RegisterInfo;
using device::RegisterType;

ValueType valueTypeFor(device::NaturalType t) {
  switch (t) {
  case device::NaturalType::int32:
    return ValueType::int32;
  case device::NaturalType::uint32:
    return ValueType::uint32;
  case device::NaturalType::int64:
    return ValueType::int64;
  case device::NaturalType::uint64:
    return ValueType::uint64;
  case device::NaturalType::float32:
    return ValueType::float32;
  case device::NaturalType::float64:
    return ValueType::float64;
  case device::NaturalType::boolean:
    return ValueType::boolean;
  case device::NaturalType::nothing:
    break;
  }
  return ValueType::nothing;
}

// Registers hold many paths (alias lines), so the set of device modules is looked up by alias.
struct ModuleRegistry {
  std::mutex mutex;
  std::vector<DeviceModule*> modules;
};
ModuleRegistry& moduleRegistry() {
  static ModuleRegistry r;
  return r;
}

void decodeInto(const RegisterInfo& reg, const std::vector<uint32_t>& words, AnyVector& value) {
  std::visit(
      [&](auto& vec) {
        using T = typename std::decay_t<decltype(vec)>::value_type;
        if constexpr (std::is_same_v<T, Void>)
          vec.assign(reg.elements, Void{});
        else
          device::decodeRegister(reg, words, vec);
      },
      value);
}

// Any value written to a void register is its event; an event written to a register with data
// writes 1 to every element, which is what a firmware strobe expects.
void encodeAndWrite(device::Backend& backend, const RegisterInfo& reg, const AnyVector& value) {
  if (reg.type == RegisterType::nothing) {
    device::writeEvent(backend, reg);
    return;
  }
  std::visit(
      [&](const auto& vec) {
        using T = typename std::decay_t<decltype(vec)>::value_type;
        if constexpr (std::is_same_v<T, Void>)
          device::writeRegister(backend, reg, std::vector<int32_t>(reg.elements, 1));
        else
          device::writeRegister(backend, reg, vec);
      },
      value);
}

} // namespace

struct DeviceModule::Impl {
  struct RegisterEndpoint final : detail::ExternalEndpoint {
    RegisterEndpoint(Impl& d, const RegisterInfo& r, std::string p)
        : dev(d), reg(r), path(std::move(p)), words(device::wordCount(r)) {}
    Impl& dev;
    const RegisterInfo& reg; // lives as long as the shared register map
    std::string path;
    detail::NetworkPort port;
    // Writable registers: the last value, kept for the re-write after a recovery.
    std::mutex mutex;
    AnyVector last;
    bool hasLast{false};
    bool eventPending{false}; // void register: an event that has not reached the device
    // Ramped after a recovery (rampAfterRecovery): the step, and whether the board is still on its
    // way back to `last`; writes meanwhile only move the target.
    std::optional<double> rampStep;
    bool ramping{false};
    // Read-only registers: buffers of the device thread.
    std::vector<uint32_t> words;
    AnyVector value;
    bool hasValue{false};

    void consume(const AnyVector& v, const VersionNumber&, DataValidity) override { dev.write(*this, v); }
    void connected(const detail::NetworkPort& p) override {
      port = p;
      value = makeAnyVector(p.type(), p.nElements());
      // A writable register that the plan made its network's feeder (ExternalNode::WhenUnfed) is
      // read back at every opening. Nothing writes it, so it changes only when the board does
      // (a reboot, its initialisation), and a control table of each channel read on every
      // trigger would cost more than all the rest.
      if (reg.isWritable() && p.network->externalFeeder() == this) dev.readBack.push_back(this);
    }
  };

  struct TriggerEndpoint final : detail::ExternalEndpoint {
    explicit TriggerEndpoint(Impl& d) : dev(d) {}
    Impl& dev;
    void consume(const AnyVector&, const VersionNumber& version, DataValidity) override {
      dev.trigger(version);
    }
  };

  struct StatusEndpoint final : detail::ExternalEndpoint {
    detail::NetworkPort port;
    void consume(const AnyVector&, const VersionNumber&, DataValidity) override {}
    void connected(const detail::NetworkPort& p) override { port = p; }
  };

  Impl(DeviceModule& o, Application& a, std::string al)
      : owner(o), app(a), alias(std::move(al)), triggerEp(*this) {}

  DeviceModule& owner;
  Application& app;
  std::string alias;

  std::mutex handlersMutex;
  std::vector<std::pair<size_t, InitialisationHandler>> handlers;
  size_t nextHandlerKey{0};

  bool connected{false};
  bool hasTrigger{false};
  std::shared_ptr<const device::RegisterMap> map;
  std::unique_ptr<device::Backend> backend;
  std::deque<RegisterEndpoint> registers;
  std::vector<RegisterEndpoint*> polled;
  std::vector<RegisterEndpoint*> readBack;
  std::vector<RegisterEndpoint*> written;
  TriggerEndpoint triggerEp;
  StatusEndpoint statusEp;
  StatusEndpoint messageEp;

  // Writers hold it shared; the end of a recovery holds it alone, so that no write slips between
  // the re-write of the kept values and the moment the device counts as healthy again.
  std::shared_timed_mutex access;
  // What writers and isReady() see of the recovery: set once an opening has replayed the kept
  // values, cleared by a failed opening read and, at once, by any thread's fault report (before
  // the device thread takes it).
  std::atomic<bool> healthy{false};
  // Set by writeSafeState(): nothing but the safe state reaches the device any more.
  std::atomic<bool> sealed{false};

  // Declared before the connection step, resolved by it (or at once when it is over).
  std::vector<std::pair<std::string, double>> rampRequests;
  std::vector<RegisterEndpoint*> ramped;
  struct SafeValue {
    const RegisterInfo* reg;
    double value;
  };
  std::vector<std::pair<std::string, double>> safeRequests;
  std::vector<SafeValue> safeState;

  std::atomic<uint32_t> heartbeatTimeout{5};

  // The device thread's work, guarded by `inbox.mutex`; a new item wakes the device thread.
  detail::Inbox inbox;
  std::deque<VersionNumber> triggers;
  std::atomic<uint64_t> droppedTriggers{0}; // counted with the lost values of the trigger's variable
  bool faultRequested{false};
  std::string requestedMessage;
  bool retryRequested{false};

  mutable std::mutex messageMutex;
  std::string faultMessage;
  std::atomic<uint64_t> opens{0};
  // Shared with the application's started condition, which may outlive this module.
  std::shared_ptr<std::atomic<bool>> firstOpeningEnded = std::make_shared<std::atomic<bool>>(false);
  std::atomic<uint64_t> polls{0};
  std::atomic<int64_t> pollNanoseconds{0};
  std::atomic<long> backoffFirstMs{500};
  std::atomic<long> backoffBoundMs{5000};

  // Device thread only.
  RecoveryState recovery{RecoveryState::closed};
  // Of the fault or the failed attempt at hand: what the reports tell and publish.
  std::string reason;
  // Failed attempts in a row, a relapse included; the back-off grows with them.
  unsigned failures{0};
  detail::Deadline retryAt;
  VersionNumber triggerVersion{nullptr}; // of the trigger at hand
  VersionNumber lastRead{nullptr};
  // A recovery counts as lasting once the device has stayed healthy for the first back-off pause
  // (testable mode, having no clock: once the application has come to rest after it); a board
  // that comes back still reporting trouble (a boot status that stays 0, reported from the
  // recovery's own read) does so sooner.
  std::chrono::steady_clock::time_point recoveredAt{};
  uint64_t restsAtRecovery{0};
  std::optional<int32_t> publishedStatus;
  std::string publishedMessage;
  // The heartbeat register's words at the last poll, and polls in a row that found them so.
  RegisterEndpoint* heartbeat{nullptr};
  std::vector<uint32_t> lastHeartbeat;
  uint32_t unchangedHeartbeats{0};
  bool heartbeatMovedSinceOpening{false};

  static constexpr size_t maxQueuedTriggers = 16;

  void connect(const std::string& directory, const VariableNetworkNode* trigger);
  const RegisterInfo& declaredRegister(const std::string& path, const char* purpose) const;
  void resolveRamp(const std::string& path, double step);
  void resolveSafeValue(const std::string& path, double value);
  void threadBody();
  RecoveryEvent awaitEvent();
  void handle(RecoveryEvent event);
  std::optional<RecoveryEvent> perform(const device::RecoveryActions& actions);
  bool reopen();
  bool initialise();
  bool replayWrites(bool ramp);
  bool readOpening();
  bool poll();
  std::optional<std::string> readAll(const VersionNumber& version, bool opening);
  std::optional<std::string> checkHeartbeat(bool opening);
  void advanceRamps();
  void sendFaultyValues();
  void publishStatus();
  [[nodiscard]] bool recoveryHasLasted() const;
  bool takeFaultRequestLocked();

  void write(RegisterEndpoint& ep, const AnyVector& value);
  void writeKept(RegisterEndpoint& ep, bool ramp);
  void trigger(const VersionNumber& version);
  void fault(const std::string& message);
  void retryNow();

  // The event log: every fault, each new reason for a failed attempt (a board that stays away
  // would otherwise fill the log every few seconds), openings and recoveries. Device thread only.
  std::string loggedFailure;
  void logFault(const std::string& m) const { log::error("device " + alias, "fault: " + m); }
  void logFailedAttempt(const char* what, const std::string& why) {
    if (why == loggedFailure) return;
    loggedFailure = why;
    log::warning("device " + alias, what + why);
  }
  void logOpened(const char* what) {
    loggedFailure.clear();
    const std::string attempts =
        failures == 0 ? ""
                      : " after " + std::to_string(failures) + " failed attempt" + (failures == 1 ? "" : "s");
    log::notice("device " + alias, what + attempts);
  }

  void setFaultMessage(const std::string& m) {
    std::lock_guard g(messageMutex);
    faultMessage = m;
  }

  // In testable mode the deadline never passes (the framework's waits have no clock there).
  template <typename Pred> void wait(Pred&& pred, detail::Deadline deadline) {
    (void)inbox.waitUntil(pred, deadline);
  }
};

void DeviceModule::Impl::connect(const std::string& directory, const VariableNetworkNode* trigger) {
  if (connected) throw std::logic_error("Device '" + alias + "' is connected twice.");
  if (app.isInitialised())
    throw std::logic_error("Device '" + alias + "' connected after the application was initialised.");
  connected = true;
  const std::string& dmap = getDMapFilePath();
  if (dmap.empty())
    throw std::logic_error("Device '" + alias +
                           "': no device map file is named; call setDMapFilePath() before connecting it.");
  auto dev = device::openDevice(dmap, alias);
  map = dev.registers;
  backend = std::move(dev.backend);

  for (const auto& reg : map->registers()) {
    std::vector<std::string> paths{reg.path};
    paths.insert(paths.end(), reg.aliases.begin(), reg.aliases.end());
    for (const auto& p : paths) {
      auto& ep = registers.emplace_back(*this, reg, path::normalise(directory + p));
      const bool feeds = reg.access == Access::readOnly;
      (feeds ? polled : written).push_back(&ep);
      ExternalNode node;
      node.path = ep.path;
      node.role = feeds ? ExternalNode::Role::feeder : ExternalNode::Role::consumer;
      node.type = valueTypeFor(device::naturalType(reg));
      node.nElements = reg.elements;
      node.ownerName =
          "register " + p + " of device " + alias + " (" + map->file() + ":" + std::to_string(reg.line) + ")";
      node.endpoint = &ep;
      if (!feeds && paths.size() > 1) node.sharedTarget = "register " + reg.path + " of device " + alias;
      if (!feeds && !reg.operatorWritable)
        node.whenUnfed = reg.isReadable() && reg.type != RegisterType::nothing
                             ? ExternalNode::WhenUnfed::readBack
                             : ExternalNode::WhenUnfed::nobody;
      app.addExternalNode(std::move(node));
      if (reg.heartbeat && heartbeat == nullptr) heartbeat = &ep;
    }
  }

  auto addStatus = [&](const char* name, ValueType type, const char* description, StatusEndpoint& ep) {
    ExternalNode node;
    node.path = path::normalise(directory + "/Devices/" + alias + "/" + name);
    node.role = ExternalNode::Role::feeder;
    node.type = type;
    node.nElements = 1;
    node.description = description;
    node.ownerName = "status of device " + alias;
    node.endpoint = &ep;
    app.addExternalNode(std::move(node));
  };
  addStatus("status", ValueType::int32, "Device state: 0 ok, 1 faulty", statusEp);
  addStatus("message", ValueType::string, "Reason of the last device fault", messageEp);

  hasTrigger = trigger != nullptr;
  for (auto& [p, step] : rampRequests)
    resolveRamp(p, step);
  for (auto& [p, value] : safeRequests)
    resolveSafeValue(p, value);

  if (trigger != nullptr) {
    ExternalNode node;
    node.path = trigger->path();
    node.role = ExternalNode::Role::consumer;
    node.type = ValueType::int64;
    node.nElements = 1;
    node.ownerName = "trigger of device " + alias;
    node.publish = trigger->isControlSystem();
    node.endpoint = &triggerEp;
    node.lostCount = [this] { return droppedTriggers.load(std::memory_order_relaxed); };
    app.addExternalNode(std::move(node));
  }

  app.startFrameworkThread("device " + alias, [this] { threadBody(); });
}

const RegisterInfo& DeviceModule::Impl::declaredRegister(const std::string& path, const char* purpose) const {
  const auto* reg = map->find(path);
  if (reg == nullptr)
    throw std::logic_error("Device '" + alias + "': " + purpose + " names '" + path + "', which " +
                           map->file() + " does not have.");
  if (!reg->isWritable() || reg->type == RegisterType::nothing)
    throw std::logic_error("Device '" + alias + "': " + purpose + " names register " + reg->path + " (" +
                           map->file() + ":" + std::to_string(reg->line) +
                           "), which cannot be written with a number.");
  return *reg;
}

void DeviceModule::Impl::resolveRamp(const std::string& path, double step) {
  const auto& reg = declaredRegister(path, "a ramp after recovery");
  if (!reg.isReadable())
    throw std::logic_error("Device '" + alias +
                           "': a ramp after recovery starts from the board's value, but " + reg.path +
                           " is write-only.");
  if (!hasTrigger)
    throw std::logic_error("Device '" + alias + "': the ramp of " + reg.path +
                           " needs a trigger to pace it; connect the device with one.");
  for (auto& ep : registers)
    if (&ep.reg == &reg) {
      ep.rampStep = step;
      if (std::find(ramped.begin(), ramped.end(), &ep) == ramped.end()) ramped.push_back(&ep);
    }
}

void DeviceModule::Impl::resolveSafeValue(const std::string& path, double value) {
  safeState.push_back({&declaredRegister(path, "the safe state"), value});
}

void DeviceModule::Impl::write(RegisterEndpoint& ep, const AnyVector& value) {
  // A read-only register feeds its network; a value sent back through a return channel has
  // nowhere to go on the device.
  if (!ep.reg.isWritable()) return;
  std::shared_lock lock(access);
  // Checked under the lock: writeSafeState() holds it alone while it writes.
  if (sealed.load()) return;
  std::lock_guard g(ep.mutex);
  ep.last = value;
  ep.hasLast = true;
  if (!healthy.load(std::memory_order_acquire)) {
    // Before the first opening a value is the network's initial value, which for an event means
    // no event; later it is a command that the device has not seen yet.
    if (ep.reg.type == RegisterType::nothing && opens.load() > 0) ep.eventPending = true;
    return;
  }
  // The board is still on its way back after a recovery; advanceRamps() takes it there.
  if (ep.ramping) return;
  try {
    encodeAndWrite(*backend, ep.reg, value);
  } catch (const device::DeviceError& e) {
    if (ep.reg.type == RegisterType::nothing) ep.eventPending = true;
    // A write that races with a fault just reported finds the device closing; that is no news.
    if (healthy.load(std::memory_order_acquire)) fault(e.what());
  } catch (const std::invalid_argument& e) {
    // A value that does not convert (text that is no number) is the writer's mistake, not the
    // device's: the register keeps its value.
    log::warning("device " + alias, "value for " + ep.path + " not written: " + e.what());
  }
}

// With `access` held alone: what the device has to be told again after it was re-opened.
void DeviceModule::Impl::writeKept(RegisterEndpoint& ep, bool ramp) {
  std::lock_guard g(ep.mutex);
  if (!ep.hasLast || sealed.load()) return;
  // From what the initialisation left, one step per trigger (advanceRamps). Not at the first
  // opening (`ramp` false): what the board holds from before this process is no state that the
  // modules ramped to, and their start-up values (everything off) belong on it at once.
  if (ep.rampStep && ramp) {
    ep.ramping = true;
    return;
  }
  if (ep.reg.type == RegisterType::nothing) {
    // An event is a command, not a state: replaying an old one would repeat it. Only an event
    // that never reached the device is delivered now.
    if (!ep.eventPending) return;
    device::writeEvent(*backend, ep.reg);
    ep.eventPending = false;
    return;
  }
  try {
    encodeAndWrite(*backend, ep.reg, ep.last);
  } catch (const std::invalid_argument&) {
    // Already reported when it was written first.
  }
}

void DeviceModule::Impl::trigger(const VersionNumber& version) {
  detail::Task* waiter = nullptr;
  {
    boost::lock_guard<boost::mutex> g(inbox.mutex);
    // A device thread this far behind only needs the latest triggers; each poll reads everything.
    if (triggers.size() >= maxQueuedTriggers) {
      triggers.pop_front();
      droppedTriggers.fetch_add(1, std::memory_order_relaxed);
    }
    triggers.push_back(version);
    waiter = inbox.takeWaiterLocked();
  }
  detail::wake(waiter);
}

void DeviceModule::Impl::fault(const std::string& message) {
  detail::Task* waiter = nullptr;
  {
    boost::lock_guard<boost::mutex> g(inbox.mutex);
    healthy.store(false, std::memory_order_release);
    requestedMessage = message;
    faultRequested = true;
    waiter = inbox.takeWaiterLocked();
  }
  detail::wake(waiter);
}

void DeviceModule::Impl::retryNow() {
  detail::Task* waiter = nullptr;
  {
    boost::lock_guard<boost::mutex> g(inbox.mutex);
    // A healthy device has no recovery to hurry: a request kept until the next fault would cut
    // that fault's back-off short.
    if (healthy.load() || retryRequested) return;
    retryRequested = true;
    waiter = inbox.takeWaiterLocked();
  }
  detail::wake(waiter);
}

// With `inbox.mutex` held.
bool DeviceModule::Impl::takeFaultRequestLocked() {
  if (!faultRequested) return false;
  faultRequested = false;
  reason = requestedMessage;
  return true;
}

void DeviceModule::Impl::publishStatus() {
  const int32_t status = healthy.load() ? 0 : 1;
  std::string message;
  {
    std::lock_guard g(messageMutex);
    message = faultMessage;
  }
  if (publishedStatus == status && publishedMessage == message) return;
  VersionNumber version;
  if (messageEp.port && (!publishedStatus || publishedMessage != message))
    messageEp.port.send(AnyVector(std::in_place_type<std::vector<std::string>>, {message}), version,
                        DataValidity::ok);
  if (statusEp.port && publishedStatus != status)
    statusEp.port.send(AnyVector(std::in_place_type<std::vector<int32_t>>, {status}), version,
                       DataValidity::ok);
  publishedStatus = status;
  publishedMessage = message;
}

std::optional<std::string> DeviceModule::Impl::readAll(const VersionNumber& version, bool opening) {
  const auto start = std::chrono::steady_clock::now();
  // Everything is read before anything is sent: a fault half-way must not leave the modules with
  // a mix of this trigger's values and the last one's.
  auto each = [&](auto&& f) {
    for (auto* ep : polled)
      f(*ep);
    if (opening)
      for (auto* ep : readBack)
        f(*ep);
  };
  try {
    each([&](RegisterEndpoint& ep) { backend->read(ep.reg.offset, ep.words.data(), ep.words.size()); });
  } catch (const device::DeviceError& e) {
    return std::string(e.what());
  }
  // Before sending: these values come from a firmware that may have stopped.
  if (auto hung = checkHeartbeat(opening)) return hung;
  each([&](RegisterEndpoint& ep) {
    if (!ep.port) return;
    decodeInto(ep.reg, ep.words, ep.value);
    ep.port.send(ep.value, version, DataValidity::ok);
    ep.hasValue = true;
  });
  lastRead = version;
  pollNanoseconds.fetch_add(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
  polls.fetch_add(1);
  return std::nullopt;
}

std::optional<std::string> DeviceModule::Impl::checkHeartbeat(bool opening) {
  if (heartbeat == nullptr) return std::nullopt;
  const bool moved = heartbeat->words != lastHeartbeat;
  lastHeartbeat = heartbeat->words;
  if (opening || moved) {
    heartbeatMovedSinceOpening = !opening;
    unchangedHeartbeats = 0;
    return std::nullopt;
  }
  const uint32_t limit = heartbeatTimeout.load();
  if (limit == 0 || ++unchangedHeartbeats < limit) return std::nullopt;
  unchangedHeartbeats = 0;
  return "heartbeat register " + heartbeat->reg.path + " of device '" + alias + "' has not changed for " +
         std::to_string(limit) + " triggers: the firmware seems to hang";
}

// Device thread, after a poll: one step of every register still on its way back after a recovery.
void DeviceModule::Impl::advanceRamps() {
  if (ramped.empty()) return;
  std::shared_lock lock(access);
  if (!healthy.load() || sealed.load()) return;
  for (auto* ep : ramped) {
    std::lock_guard g(ep->mutex);
    if (!ep->ramping) continue;
    try {
      std::vector<double> board;
      device::readRegister(*backend, ep->reg, board);
      const auto target = anyVectorAs<double>(ep->last);
      bool arrived = target.size() == board.size();
      for (size_t i = 0; arrived && i < board.size(); ++i)
        arrived = !(std::fabs(target[i] - board[i]) > *ep->rampStep) || !std::isfinite(target[i]);
      if (arrived) {
        encodeAndWrite(*backend, ep->reg, ep->last);
        ep->ramping = false;
        continue;
      }
      for (size_t i = 0; i < board.size(); ++i) {
        const double gap = target[i] - board[i];
        board[i] = std::fabs(gap) > *ep->rampStep ? board[i] + std::copysign(*ep->rampStep, gap) : target[i];
      }
      device::writeRegister(*backend, ep->reg, board);
    } catch (const device::DeviceError& e) {
      fault(e.what());
      return;
    } catch (const std::invalid_argument&) {
      // A kept value that does not convert was reported when it was written; nothing to ramp to.
      ep->ramping = false;
    }
  }
}

void DeviceModule::Impl::sendFaultyValues() {
  VersionNumber version;
  for (auto* list : {&polled, &readBack})
    for (auto* ep : *list)
      if (ep->port && ep->hasValue) ep->port.send(ep->value, version, DataValidity::faulty);
}

void DeviceModule::Impl::threadBody() {
  publishStatus();
  for (;;) {
    const auto event = awaitEvent();
    // Whether a re-opening has lasted matters only once it is put to the test.
    if (event == RecoveryEvent::fault && recovery == RecoveryState::probation && recoveryHasLasted())
      handle(RecoveryEvent::recoveryLasted);
    handle(event);
  }
}

// What the device thread waits for depends on where the device stands.
RecoveryEvent DeviceModule::Impl::awaitEvent() {
  switch (recovery) {
  case RecoveryState::closed: {
    boost::lock_guard<boost::mutex> g(inbox.mutex);
    return takeFaultRequestLocked() ? RecoveryEvent::fault : RecoveryEvent::start;
  }
  case RecoveryState::ready:
  case RecoveryState::probation:
    for (;;) {
      wait([this] { return faultRequested || !triggers.empty(); }, std::nullopt);
      boost::lock_guard<boost::mutex> g(inbox.mutex);
      if (takeFaultRequestLocked()) return RecoveryEvent::fault;
      if (triggers.empty()) continue;
      triggerVersion = triggers.front();
      triggers.pop_front();
      return RecoveryEvent::trigger;
    }
  case RecoveryState::waitingToOpen:
  case RecoveryState::waitingToRecover: {
    wait(
        [this] {
          // Nothing is polled while the device is faulty.
          triggers.clear();
          return retryRequested || faultRequested;
        },
        retryAt);
    boost::lock_guard<boost::mutex> g(inbox.mutex);
    return takeFaultRequestLocked() ? RecoveryEvent::fault : RecoveryEvent::retry;
  }
  case RecoveryState::opening:
  case RecoveryState::recovering:
    break;
  }
  throw std::logic_error("Device '" + alias + "': an attempt to open it ended without an outcome.");
}

void DeviceModule::Impl::handle(RecoveryEvent event) {
  // The steps of an attempt end in its outcome, which is handled at once.
  for (std::optional<RecoveryEvent> e = event; e;) {
    const auto t = device::next(recovery, *e);
    recovery = t.state;
    e = perform(t.actions);
  }
  // An attempt ends within one handling: past `closed`, the first opening has ended, one way or
  // the other, and the application may count as started.
  if (recovery != RecoveryState::closed && !firstOpeningEnded->load(std::memory_order_relaxed))
    firstOpeningEnded->store(true);
}

// Runs `actions` in order; a step of an attempt that fails ends them with the attempt's outcome,
// a failed poll with the fault it reported.
std::optional<RecoveryEvent> DeviceModule::Impl::perform(const device::RecoveryActions& actions) {
  std::optional<RecoveryEvent> outcome;
  for (const auto action : actions) {
    switch (action) {
    case RecoveryAction::reportFault:
      logFault(reason);
      setFaultMessage(reason);
      break;
    case RecoveryAction::sendFaultyValues:
      sendFaultyValues();
      break;
    case RecoveryAction::publishStatus:
      publishStatus();
      break;
    case RecoveryAction::reopen:
      if (!reopen()) return RecoveryEvent::attemptFailed;
      break;
    case RecoveryAction::initialise:
      if (!initialise()) return RecoveryEvent::attemptFailed;
      break;
    case RecoveryAction::replayWrites:
    case RecoveryAction::replayWritesRamped:
      if (!replayWrites(action == RecoveryAction::replayWritesRamped)) return RecoveryEvent::attemptFailed;
      break;
    case RecoveryAction::readOpening:
      if (!readOpening()) return RecoveryEvent::readFailed;
      outcome = RecoveryEvent::opened;
      break;
    case RecoveryAction::reportOpened:
      logOpened("opened");
      break;
    case RecoveryAction::reportRecovered:
      logOpened("recovered");
      break;
    case RecoveryAction::reportFailedOpening:
      logFailedAttempt("cannot be opened, trying again: ", reason);
      setFaultMessage(reason);
      break;
    case RecoveryAction::reportFailedRecovery:
      logFailedAttempt("recovery failed, trying again: ", reason);
      setFaultMessage(reason);
      break;
    case RecoveryAction::reportRelapse:
      log::error("device " + alias, "faulty again right after its recovery: " + reason);
      break;
    case RecoveryAction::countFailure:
      ++failures;
      break;
    case RecoveryAction::forgetFailures:
      failures = 0;
      break;
    case RecoveryAction::startProbation:
      recoveredAt = std::chrono::steady_clock::now();
      restsAtRecovery = app.restCount();
      break;
    case RecoveryAction::scheduleRetry:
      retryAt = detail::WaitClock::now() +
                device::recoveryBackoff(failures, std::chrono::milliseconds(backoffFirstMs.load()),
                                        std::chrono::milliseconds(backoffBoundMs.load()));
      break;
    case RecoveryAction::poll:
      if (!poll()) return std::nullopt;
      break;
    case RecoveryAction::advanceRamps:
      advanceRamps();
      break;
    }
  }
  return outcome;
}

bool DeviceModule::Impl::reopen() {
  {
    boost::lock_guard<boost::mutex> g(inbox.mutex);
    retryRequested = false;
  }
  try {
    backend->close();
    backend->open();
  } catch (const device::DeviceError& e) {
    reason = e.what();
    return false;
  }
  // A map that does not fit its device cannot be cured by trying again: this ends the start-up.
  device::checkRegistersFit(*map, backend->size(), backend->description());
  return true;
}

bool DeviceModule::Impl::initialise() {
  std::vector<InitialisationHandler> run;
  {
    std::lock_guard g(handlersMutex);
    for (auto& [key, h] : handlers)
      run.push_back(h);
  }
  for (size_t i = 0; i < run.size(); ++i) {
    try {
      run[i](owner);
    } catch (const std::exception& e) {
      reason = "initialisation of device '" + alias + "' failed: " + e.what();
      return false;
    }
  }
  return true;
}

bool DeviceModule::Impl::replayWrites(bool ramp) {
  try {
    std::unique_lock lock(access);
    for (auto* ep : written)
      writeKept(*ep, ramp);
    boost::lock_guard<boost::mutex> g(inbox.mutex);
    if (faultRequested) {
      reason = requestedMessage;
      return false;
    }
    healthy.store(true, std::memory_order_release);
  } catch (const device::DeviceError& e) {
    reason = e.what();
    return false;
  }
  opens.fetch_add(1);
  return true;
}

bool DeviceModule::Impl::readOpening() {
  if (auto error = readAll(VersionNumber(), true)) {
    healthy.store(false, std::memory_order_release);
    reason = *error;
    return false;
  }
  return true;
}

bool DeviceModule::Impl::poll() {
  // A trigger from before the last opening is answered by that opening's read.
  if (triggerVersion <= lastRead) return false;
  if (auto error = readAll(triggerVersion, false)) {
    fault(*error);
    return false;
  }
  return true;
}

bool DeviceModule::Impl::recoveryHasLasted() const {
  // A board whose firmware still hangs after its re-opening has not come back, however long the
  // heartbeat took to tell.
  if (heartbeat != nullptr && heartbeatTimeout.load() > 0 && !heartbeatMovedSinceOpening) return false;
  if (app.isTestableMode()) return app.restCount() != restsAtRecovery;
  return std::chrono::steady_clock::now() - recoveredAt >= std::chrono::milliseconds(backoffFirstMs.load());
}

std::chrono::milliseconds device::recoveryBackoff(unsigned failures, std::chrono::milliseconds first,
                                                  std::chrono::milliseconds bound) {
  auto delay = first;
  for (unsigned i = 1; i < failures && delay < bound; ++i)
    delay *= 2;
  return std::min(delay, bound);
}

// ---------------------------------------------------------------------------------------------

DeviceModule::DeviceModule(Application& app, const std::string& alias, InitialisationHandler initFunction)
    : impl_(std::make_unique<Impl>(*this, app, alias)) {
  {
    auto& r = moduleRegistry();
    std::lock_guard g(r.mutex);
    for (auto* m : r.modules)
      if (m->getAlias() == alias) throw std::logic_error("Device '" + alias + "' has two device modules.");
    r.modules.push_back(this);
  }
  if (initFunction) addInitialisationHandler(std::move(initFunction));
  // A server that waits for its board before it counts as started would never start while the
  // board is away; one that does not wait at all would report ready with nothing read yet.
  app.addStartedCondition([ended = impl_->firstOpeningEnded] { return ended->load(); });
  app.addConnectionStep([this] {
    if (!impl_->connected) impl_->connect("", nullptr);
  });
  // The application outlives its device modules only after every thread has ended, and with the
  // threads every chance of a fatal error.
  app.addFatalHook([this] {
    if (!impl_->safeState.empty()) (void)writeSafeState();
  });
}

DeviceModule::DeviceModule(Application* app, const std::string& alias, InitialisationHandler initFunction)
    : DeviceModule(*app, alias, std::move(initFunction)) {}

DeviceModule::~DeviceModule() {
  auto& r = moduleRegistry();
  std::lock_guard g(r.mutex);
  std::erase(r.modules, this);
}

void DeviceModule::connectTo(const ControlSystemModule& cs, const VariableNetworkNode& trigger) {
  impl_->connect(cs.directory() == "/" ? "" : cs.directory(), &trigger);
}

void DeviceModule::connectTo(const ControlSystemModule& cs) {
  impl_->connect(cs.directory() == "/" ? "" : cs.directory(), nullptr);
}

size_t DeviceModule::addInitialisationHandler(InitialisationHandler handler) {
  std::lock_guard g(impl_->handlersMutex);
  const size_t key = impl_->nextHandlerKey++;
  impl_->handlers.emplace_back(key, std::move(handler));
  return key;
}

void DeviceModule::removeInitialisationHandler(size_t key) {
  std::lock_guard g(impl_->handlersMutex);
  std::erase_if(impl_->handlers, [key](const auto& h) { return h.first == key; });
}

void DeviceModule::reportException(const std::string& message) {
  impl_->fault(message);
}

const std::string& DeviceModule::getAlias() const {
  return impl_->alias;
}

bool DeviceModule::isReady() const {
  return impl_->healthy.load();
}

std::string DeviceModule::getFaultMessage() const {
  std::lock_guard g(impl_->messageMutex);
  return impl_->faultMessage;
}

uint64_t DeviceModule::openCount() const {
  return impl_->opens.load();
}

DeviceModule::PollStatistics DeviceModule::pollStatistics() const {
  return {impl_->polls.load(), std::chrono::nanoseconds(impl_->pollNanoseconds.load())};
}

device::Backend& DeviceModule::backend() {
  if (!impl_->backend)
    throw std::logic_error("Device '" + impl_->alias + "' has no backend before the connection step.");
  return *impl_->backend;
}

const device::RegisterMap& DeviceModule::registerMap() const {
  if (!impl_->map)
    throw std::logic_error("Device '" + impl_->alias + "' has no register map before the connection step.");
  return *impl_->map;
}

device::DummyDevice& DeviceModule::dummyDevice() {
  auto* dummy = dynamic_cast<device::DummyBackend*>(&backend());
  if (dummy == nullptr)
    throw std::logic_error("Device '" + impl_->alias + "' is " + impl_->backend->description() +
                           ", not a dummy device.");
  return dummy->device();
}

void DeviceModule::rampAfterRecovery(const std::string& registerPath, double maxStep) {
  if (impl_->app.isRunning())
    throw std::logic_error("Device '" + impl_->alias + "': ramp of " + registerPath +
                           " declared while the application runs.");
  if (!(maxStep >= 0.0) || !std::isfinite(maxStep))
    throw std::invalid_argument("Device '" + impl_->alias + "': the ramp of " + registerPath +
                                " needs a step of 0 or more, not " + std::to_string(maxStep) + ".");
  if (impl_->connected)
    impl_->resolveRamp(registerPath, maxStep);
  else
    impl_->rampRequests.emplace_back(registerPath, maxStep);
}

void DeviceModule::addSafeValue(const std::string& registerPath, double value) {
  if (impl_->app.isRunning())
    throw std::logic_error("Device '" + impl_->alias + "': safe value of " + registerPath +
                           " declared while the application runs.");
  if (impl_->connected)
    impl_->resolveSafeValue(registerPath, value);
  else
    impl_->safeRequests.emplace_back(registerPath, value);
}

bool DeviceModule::writeSafeState() {
  auto& d = *impl_;
  d.sealed.store(true);
  if (d.safeState.empty()) return true;
  // A writer in flight finishes first, so that its value cannot land after the safe one. The
  // caller is ending the process, so it does not wait for ever.
  std::unique_lock lock(d.access, std::defer_lock);
  (void)lock.try_lock_for(std::chrono::seconds(1));
  std::string error;
  size_t failed = 0;
  auto note = [&](const std::string& what) {
    if (failed++ == 0) error = what;
  };
  if (!d.backend->isOpen()) {
    try {
      d.backend->open();
    } catch (const std::exception& e) {
      note(e.what());
    }
  }
  if (d.backend->isOpen()) {
    for (const auto& v : d.safeState) {
      try {
        device::writeRegister(*d.backend, *v.reg, std::vector<double>(v.reg->elements, v.value));
      } catch (const std::exception& e) {
        note(v.reg->path + ": " + e.what());
      }
    }
  } else {
    failed = d.safeState.size();
  }
  if (failed == 0) {
    log::critical("device " + d.alias, "outputs put into their safe state (" +
                                           std::to_string(d.safeState.size()) +
                                           " registers written directly)");
    return true;
  }
  log::critical("device " + d.alias, "the safe state could not be written to " + std::to_string(failed) +
                                         " of " + std::to_string(d.safeState.size()) +
                                         " registers: " + error);
  return false;
}

void DeviceModule::setHeartbeatTimeout(uint32_t triggers) {
  impl_->heartbeatTimeout.store(triggers);
}

void DeviceModule::setRecoveryBackoff(std::chrono::milliseconds first, std::chrono::milliseconds bound) {
  impl_->backoffFirstMs.store(std::max<long>(1, static_cast<long>(first.count())));
  impl_->backoffBoundMs.store(std::max<long>(impl_->backoffFirstMs.load(), static_cast<long>(bound.count())));
}

void DeviceModule::retryRecoveryNow() {
  impl_->retryNow();
}

DeviceModule& DeviceModule::find(const std::string& alias) {
  auto& r = moduleRegistry();
  std::lock_guard g(r.mutex);
  for (auto* m : r.modules)
    if (m->getAlias() == alias) return *m;
  throw std::logic_error("There is no device module for device '" + alias + "'.");
}

} // namespace orvane
