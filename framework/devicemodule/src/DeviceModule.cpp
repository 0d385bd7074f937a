#include "framework/devicemodule/DeviceModule.hpp"

#include "framework/device/Device.hpp"
#include "framework/device/DeviceError.hpp"
#include "framework/device/DummyBackend.hpp"
#include "framework/device/RegisterAccess.hpp"

#include <boost/chrono.hpp>
#include <boost/thread/condition_variable.hpp>

#include <algorithm>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <shared_mutex>

namespace orvane {

namespace {

using device::Access;
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

void addPending(long n) {
  detail::Testable::instance().addPending(n);
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
    // Read-only registers: buffers of the device thread.
    std::vector<uint32_t> words;
    AnyVector value;
    bool hasValue{false};

    void consume(const AnyVector& v, const VersionNumber&, DataValidity) override { dev.write(*this, v); }
    void connected(const detail::NetworkPort& p) override {
      port = p;
      value = makeAnyVector(p.type(), p.nElements());
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
  std::shared_ptr<const device::RegisterMap> map;
  std::unique_ptr<device::Backend> backend;
  std::deque<RegisterEndpoint> registers;
  std::vector<RegisterEndpoint*> polled;
  std::vector<RegisterEndpoint*> written;
  TriggerEndpoint triggerEp;
  StatusEndpoint statusEp;
  StatusEndpoint messageEp;

  // Writers hold it shared; the end of a recovery holds it alone, so that no write slips between
  // the re-write of the kept values and the moment the device counts as healthy again.
  std::shared_mutex access;
  std::atomic<bool> healthy{false};

  // The device thread's work, guarded by `mutex`. In testable mode every item counts as pending
  // until the device thread has taken it, so that stepApplication() waits for its handling.
  boost::mutex mutex;
  boost::condition_variable_any cv;
  std::deque<VersionNumber> triggers;
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
  VersionNumber lastRead{nullptr};
  bool valuesValid{false};
  // A recovery counts as lasting once the device has stayed healthy for the first back-off pause
  // (testable mode, having no clock: once the application has come to rest after it). A fault
  // before that continues the series of failed attempts, so that a board which comes back still
  // reporting trouble (a boot status that stays 0, reported from the recovery's own read) is
  // re-initialised with growing pauses, not in a tight loop. The first opening is no recovery:
  // a fault soon after start-up is an ordinary one.
  bool recoveryOnProbation{false};
  std::chrono::steady_clock::time_point recoveredAt{};
  uint64_t restsAtRecovery{0};
  std::optional<int32_t> publishedStatus;
  std::string publishedMessage;

  static constexpr size_t maxQueuedTriggers = 16;

  void connect(const std::string& directory, const VariableNetworkNode* trigger);
  void threadBody();
  bool recover(std::string& why);
  std::optional<std::string> readAll(const VersionNumber& version);
  void sendFaultyValues();
  void publishStatus();
  void waitBeforeRetry(unsigned failures);
  [[nodiscard]] bool recoveryHasLasted() const;
  std::optional<std::string> takeFaultRequest();

  void write(RegisterEndpoint& ep, const AnyVector& value);
  void writeKept(RegisterEndpoint& ep);
  void trigger(const VersionNumber& version);
  void fault(const std::string& message);
  void retryNow();

  void setFaultMessage(const std::string& m) {
    std::lock_guard g(messageMutex);
    faultMessage = m;
  }

  // Like detail::Inbox::waitUntil, with a deadline in normal mode (testable mode has no clock).
  template <typename Pred>
  void wait(Pred&& pred, std::optional<boost::chrono::steady_clock::time_point> deadline) {
    auto& t = detail::Testable::instance();
    auto* big = detail::Testable::threadLock();
    if (t.enabled() && big != nullptr) {
      for (;;) {
        {
          boost::lock_guard<boost::mutex> g(mutex);
          if (pred()) return;
        }
        t.notifyQuiet();
        cv.wait(*big);
      }
    }
    boost::unique_lock<boost::mutex> l(mutex);
    if (deadline)
      cv.wait_until(l, *deadline, pred);
    else
      cv.wait(l, pred);
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
      app.addExternalNode(std::move(node));
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

  if (trigger != nullptr) {
    ExternalNode node;
    node.path = trigger->path();
    node.role = ExternalNode::Role::consumer;
    node.type = ValueType::int64;
    node.nElements = 1;
    node.ownerName = "trigger of device " + alias;
    node.publish = trigger->isControlSystem();
    node.endpoint = &triggerEp;
    app.addExternalNode(std::move(node));
  }

  app.startFrameworkThread("device " + alias, [this] { threadBody(); });
}

void DeviceModule::Impl::write(RegisterEndpoint& ep, const AnyVector& value) {
  // A read-only register feeds its network; a value sent back through a return channel has
  // nowhere to go on the device.
  if (!ep.reg.isWritable()) return;
  std::shared_lock lock(access);
  std::lock_guard g(ep.mutex);
  ep.last = value;
  ep.hasLast = true;
  if (!healthy.load(std::memory_order_acquire)) {
    // Before the first opening a value is the network's initial value, which for an event means
    // no event; later it is a command that the device has not seen yet.
    if (ep.reg.type == RegisterType::nothing && opens.load() > 0) ep.eventPending = true;
    return;
  }
  try {
    encodeAndWrite(*backend, ep.reg, value);
  } catch (const device::DeviceError& e) {
    if (ep.reg.type == RegisterType::nothing) ep.eventPending = true;
    // A write that races with a fault just reported finds the device closing; that is no news.
    if (healthy.load(std::memory_order_acquire)) fault(e.what());
  } catch (const std::invalid_argument& e) {
    // A value that does not convert (text that is no number) is the writer's mistake, not the
    // device's: the register keeps its value.
    std::cerr << "Device '" << alias << "': value for " << ep.path << " not written: " << e.what()
              << std::endl;
  }
}

// With `access` held alone: what the device has to be told again after it was re-opened.
void DeviceModule::Impl::writeKept(RegisterEndpoint& ep) {
  std::lock_guard g(ep.mutex);
  if (!ep.hasLast) return;
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
  {
    boost::lock_guard<boost::mutex> g(mutex);
    // A device thread this far behind only needs the latest triggers; each poll reads everything.
    if (triggers.size() >= maxQueuedTriggers) {
      triggers.pop_front();
      addPending(-1);
    }
    triggers.push_back(version);
    addPending(1);
  }
  cv.notify_all();
}

void DeviceModule::Impl::fault(const std::string& message) {
  {
    boost::lock_guard<boost::mutex> g(mutex);
    healthy.store(false, std::memory_order_release);
    requestedMessage = message;
    if (!faultRequested) {
      faultRequested = true;
      addPending(1);
    }
  }
  cv.notify_all();
}

void DeviceModule::Impl::retryNow() {
  {
    boost::lock_guard<boost::mutex> g(mutex);
    // A healthy device has no recovery to hurry; a request nobody takes would never let a
    // testable application come to rest.
    if (healthy.load() || retryRequested) return;
    retryRequested = true;
    addPending(1);
  }
  cv.notify_all();
}

std::optional<std::string> DeviceModule::Impl::takeFaultRequest() {
  boost::lock_guard<boost::mutex> g(mutex);
  if (!faultRequested) return std::nullopt;
  faultRequested = false;
  addPending(-1);
  return requestedMessage;
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

std::optional<std::string> DeviceModule::Impl::readAll(const VersionNumber& version) {
  const auto start = std::chrono::steady_clock::now();
  // Everything is read before anything is sent: a fault half-way must not leave the modules with
  // a mix of this trigger's values and the last one's.
  try {
    for (auto* ep : polled)
      backend->read(ep->reg.offset, ep->words.data(), ep->words.size());
  } catch (const device::DeviceError& e) {
    return std::string(e.what());
  }
  for (auto* ep : polled) {
    if (!ep->port) continue;
    decodeInto(ep->reg, ep->words, ep->value);
    ep->port.send(ep->value, version, DataValidity::ok);
    ep->hasValue = true;
  }
  lastRead = version;
  valuesValid = true;
  pollNanoseconds.fetch_add(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
  polls.fetch_add(1);
  return std::nullopt;
}

void DeviceModule::Impl::sendFaultyValues() {
  if (!valuesValid) return;
  valuesValid = false;
  VersionNumber version;
  for (auto* ep : polled)
    if (ep->port && ep->hasValue) ep->port.send(ep->value, version, DataValidity::faulty);
}

bool DeviceModule::Impl::recover(std::string& why) {
  {
    boost::lock_guard<boost::mutex> g(mutex);
    if (retryRequested) {
      retryRequested = false;
      addPending(-1);
    }
  }
  try {
    backend->close();
    backend->open();
  } catch (const device::DeviceError& e) {
    why = e.what();
    return false;
  }
  // A map that does not fit its device cannot be cured by trying again: this ends the start-up.
  device::checkRegistersFit(*map, backend->size(), backend->description());

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
      why = "initialisation of device '" + alias + "' failed: " + e.what();
      return false;
    }
  }

  try {
    std::unique_lock lock(access);
    for (auto* ep : written)
      writeKept(*ep);
    boost::lock_guard<boost::mutex> g(mutex);
    if (faultRequested) {
      why = requestedMessage;
      return false;
    }
    healthy.store(true, std::memory_order_release);
  } catch (const device::DeviceError& e) {
    why = e.what();
    return false;
  }
  opens.fetch_add(1);
  if (auto error = readAll(VersionNumber())) {
    healthy.store(false, std::memory_order_release);
    why = *error;
    return false;
  }
  return true;
}

void DeviceModule::Impl::waitBeforeRetry(unsigned failures) {
  std::optional<boost::chrono::steady_clock::time_point> deadline;
  if (!detail::Testable::instance().enabled()) {
    const auto delay = device::recoveryBackoff(failures, std::chrono::milliseconds(backoffFirstMs.load()),
                                               std::chrono::milliseconds(backoffBoundMs.load()));
    deadline = boost::chrono::steady_clock::now() + boost::chrono::milliseconds(delay.count());
  }
  wait(
      [this] {
        // Nothing is polled while the device is faulty.
        addPending(-static_cast<long>(triggers.size()));
        triggers.clear();
        return retryRequested || faultRequested;
      },
      deadline);
}

bool DeviceModule::Impl::recoveryHasLasted() const {
  auto& testable = detail::Testable::instance();
  if (testable.enabled()) return testable.restCount() != restsAtRecovery;
  return std::chrono::steady_clock::now() - recoveredAt >= std::chrono::milliseconds(backoffFirstMs.load());
}

void DeviceModule::Impl::threadBody() {
  publishStatus();
  unsigned failures = 0;
  for (;;) {
    if (!healthy.load()) {
      bool relapse = false;
      if (auto message = takeFaultRequest()) {
        setFaultMessage(*message);
        sendFaultyValues();
        publishStatus();
        if (recoveryOnProbation) {
          if (recoveryHasLasted()) {
            failures = 0;
          } else {
            relapse = true;
            ++failures;
            std::cerr << "Device '" << alias << "' is faulty again right after its recovery: " << *message
                      << std::endl;
          }
        }
      }
      recoveryOnProbation = false;
      if (relapse) {
        waitBeforeRetry(failures);
        continue;
      }
      std::string why;
      const bool recovered = recover(why);
      firstOpeningEnded->store(true);
      if (recovered) {
        if (failures > 0)
          std::cerr << "Device '" << alias << "' recovered after " << failures << " failed attempts."
                    << std::endl;
        recoveryOnProbation = opens.load() > 1;
        if (!recoveryOnProbation) failures = 0; // the failed first openings are no series to go on with
        recoveredAt = std::chrono::steady_clock::now();
        restsAtRecovery = detail::Testable::instance().restCount();
        publishStatus();
        continue;
      }
      ++failures;
      setFaultMessage(why);
      sendFaultyValues();
      publishStatus();
      waitBeforeRetry(failures);
      continue;
    }

    std::optional<VersionNumber> version;
    wait([this] { return faultRequested || !triggers.empty(); }, std::nullopt);
    {
      boost::lock_guard<boost::mutex> g(mutex);
      if (faultRequested || triggers.empty()) continue;
      version = triggers.front();
      triggers.pop_front();
      addPending(-1);
    }
    // A trigger from before the last opening is answered by that opening's read.
    if (*version <= lastRead) continue;
    if (auto error = readAll(*version)) fault(*error);
  }
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
