#pragma once
// The application: the root of the module tree, the life cycle (initialise, run, shutdown), the
// joining of equal paths into networks, the control-system registry and the variable list.

#include "framework/Accessor.hpp"
#include "framework/ControlSystem.hpp"
#include "framework/Entity.hpp"

#include <boost/thread/thread.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace orvane {

/// A node for explicit connections: an accessor, or a control-system variable by path.
class VariableNetworkNode {
 public:
  VariableNetworkNode(AccessorBase& accessor); // NOLINT: accessors convert to nodes
  static VariableNetworkNode controlSystem(const std::string& path);

  [[nodiscard]] bool isControlSystem() const { return accessor_ == nullptr; }
  [[nodiscard]] AccessorBase* accessor() const { return accessor_; }
  /// The control-system path, or the accessor's path.
  [[nodiscard]] std::string path() const;

 private:
  VariableNetworkNode() = default;
  AccessorBase* accessor_{nullptr};
  std::string csPath_;
};

/// Connects a feeding node to a consuming node; returns the feeder, so that chains fan out.
const VariableNetworkNode& operator>>(const VariableNetworkNode& feeder, const VariableNetworkNode& consumer);

/// A directory of the control system's variable tree.
class ControlSystemModule {
 public:
  ControlSystemModule() = default; ///< the root
  /// A sub-directory.
  ControlSystemModule operator[](const std::string& directory) const;
  /// A variable of this directory.
  VariableNetworkNode operator()(const std::string& variableName) const;
  [[nodiscard]] const std::string& directory() const { return directory_; }
  /// The published tree below this directory, as text.
  void dump(const std::string& prefix = "", std::ostream* os = nullptr) const;

 private:
  explicit ControlSystemModule(std::string dir) : directory_(std::move(dir)) {}
  std::string directory_{"/"};
};

/// A selection of variables (from findTag).
class VirtualModule {
 public:
  explicit VirtualModule(std::vector<AccessorBase*> accessors) : accessors_(std::move(accessors)) {}
  /// Publishes every selected variable under its path below the given directory.
  void connectTo(const ControlSystemModule& cs) const;
  [[nodiscard]] const std::vector<AccessorBase*>& accessors() const { return accessors_; }

 private:
  std::vector<AccessorBase*> accessors_;
};

/// A network participant that is not a module accessor: a device register, a device's trigger.
struct ExternalNode {
  enum class Role { feeder, consumer };
  std::string path;
  Role role{Role::consumer};
  std::optional<ValueType> type;   ///< preferred type when no module accessor fixes one
  std::optional<size_t> nElements; ///< must match the network's when given
  std::string unit;
  std::string description;
  std::string ownerName; ///< for messages: "device PiezoDriver"
  bool publish{true};    ///< publish to the control system
  /// Nodes with the same non-empty key are names of one writable target (a register with alias
  /// lines). Only one of them is joined: the first that a module variable uses, else the first.
  /// Each further name published alone would give operators a way to the hardware around the
  /// module that guards it.
  std::string sharedTarget;
  /// For a consuming node (a writable register): who feeds its network when no module output
  /// does. By default the control system (an operator variable). `readBack`: this node's endpoint
  /// instead (the register's value as the device reads it); `nobody`: no one, the variable is published
  /// read-only. Operators then see the hardware but cannot drive it around the modules.
  enum class WhenUnfed { controlSystem, readBack, nobody };
  WhenUnfed whenUnfed{WhenUnfed::controlSystem};
  detail::ExternalEndpoint* endpoint{nullptr};
  /// A consumer that drops values it cannot keep up with counts them here; lostValues() adds
  /// them to the variable's. Any thread; must not wait.
  std::function<uint64_t()> lostCount;
};

namespace detail {
struct Plan;
class Executor;
} // namespace detail

/// Values that push inputs, and external consumers such as a device's trigger, lost because their
/// queue was full.
struct LostValues {
  uint64_t total{0};
  std::string worstPath; ///< the variable that lost most; empty while none lost any
  uint64_t worstCount{0};
};

class Application : public ModuleGroup {
 public:
  explicit Application(const std::string& name);
  // A failure to stop the threads ends the process; the terminate handler names it.
  // NOLINTNEXTLINE(bugprone-exception-escape)
  ~Application() override;

  /// The one application of the process. Throws std::logic_error when there is none.
  static Application& getInstance();
  static bool hasInstance();

  /// Makes all connections; called once by the framework, after all members are built.
  virtual void defineConnections() = 0;

  /// Runs defineConnections(), joins the networks and fills the control-system registry.
  void initialise();
  /// Sends initial values, runs every prepare(), starts the device threads and module loops, and
  /// (normal mode) returns once they have settled: every loop waits, or 10 s have passed.
  void run();
  /// Interrupts every module loop and framework thread and waits until all have ended; in normal
  /// mode it then reports on standard error how many values the variable networks lost.
  /// Idempotent; any thread but a module's loop.
  void shutdown();
  /// Runs the connection step and writes the variable list "<name>.xml" into the working directory.
  void generateXML();
  void generateXML(std::ostream& os);
  /// Lists every variable network.
  void dumpConnections(std::ostream& os);

  [[nodiscard]] bool isTestableMode() const { return testableMode_; }
  void enableTestableMode();

  /// Worker threads that run the module loops (normal mode); before run(). The default is the
  /// environment variable ORVANE_WORKER_THREADS, else 2 (1 on a single core).
  void setWorkerThreads(unsigned n);
  /// How long a module loop may keep a worker without waiting before it is reported as stalled
  /// (and, when every worker is held, a spare worker starts). Default 1 s.
  void setStallLimit(std::chrono::milliseconds limit);
  /// Empty while every module loop and framework thread runs as it should; otherwise one line per
  /// problem: a loop that holds its worker beyond the stall limit ("module X has run 2300 ms
  /// without waiting"). For a service manager's watchdog. Any thread.
  [[nodiscard]] std::vector<std::string> loopProblems() const;

  /// A condition that must hold before the application counts as started, for a service manager
  /// that waits for the program to be ready (a device module adds "the first opening of the device
  /// has ended, successfully or not"). Only before run(); the condition is called from any thread.
  void addStartedCondition(std::function<bool()> condition);
  /// Whether run() has started the module loops and every started condition holds. Any thread;
  /// never waits.
  [[nodiscard]] bool hasStarted() const;
  void enableDebugDataLoss(bool on) { debugDataLoss_ = on; }
  [[nodiscard]] bool debugDataLoss() const { return debugDataLoss_; }

  [[nodiscard]] ProcessVariableRegistry& processVariables() { return registry_; }
  [[nodiscard]] bool isInitialised() const { return initialised_; }
  /// Values lost in the variable networks so far, summed per variable over its push inputs and
  /// the external consumers that count what they drop.
  /// Any thread once initialised; never waits (it reads the queues' counters).
  [[nodiscard]] LostValues lostValues() const;
  [[nodiscard]] bool isRunning() const { return running_; }

  /// Called when a framework thread ends with an exception: in normal mode after the message is
  /// printed and before the process exits (flush what must not be lost, put the hardware into a
  /// safe state); in testable mode before the test gets the exception. In the failing thread.
  void addFatalHook(std::function<void()> hook) { fatalHooks_.push_back(std::move(hook)); }

  // For framework layers (device modules, the control-system server).
  void addExternalNode(ExternalNode node);
  void addExplicitConnection(const VariableNetworkNode& feeder, const VariableNetworkNode& consumer);
  /// Starts a framework thread, joined by shutdown(): in normal mode an operating-system thread of
  /// its own (it may block in device access or subprocesses without holding up a module), in
  /// testable mode a task stepped with the modules. The body waits only in Inbox waits;
  /// boost::thread_interrupted ends it quietly, any other exception is fatal as for a module.
  void startFrameworkThread(const std::string& name, std::function<void()> body);
  /// Work done at run() before the module threads start (device opening), in registration order.
  void addStartupStep(std::function<void()> step) { startupSteps_.push_back(std::move(step)); }
  /// Work done once right after defineConnections(), before the networks are planned: a device
  /// module that the application did not connect explicitly adds its registers here.
  void addConnectionStep(std::function<void()> step) { connectionSteps_.push_back(std::move(step)); }
  /// Paths published to the control system so far (for listings during the connection step).
  [[nodiscard]] std::vector<ProcessVariableInfo> plannedVariables();
  [[nodiscard]] std::vector<ProcessVariableInfo> plannedVariables(std::string& error);

  /// Ends the process after a fatal error of a framework thread (normal mode) or records it
  /// for the test (testable mode).
  void fatalError(const std::string& where, const std::exception_ptr& e);

  // For the test facility (testable mode): runs the ready module loops in the calling thread
  // until none is ready; rethrows an exception that ended a loop.
  void stepTestable();
  /// How often stepTestable() brought the application to rest: testable mode's clock.
  [[nodiscard]] uint64_t restCount() const;

 private:
  void defineConnectionsOnce();
  std::unique_ptr<detail::Plan> makePlan();
  void instantiate(detail::Plan& plan);
  void startThread(const std::string& name, std::function<void()> body, bool waitsForInitialValues,
                   Module* module);
  void reportLostValues();
  void waitForSettledStart();

  bool connectionsDefined_{false};
  bool initialised_{false};
  bool running_{false};
  bool shutDown_{false};
  bool testableMode_{false};
  bool debugDataLoss_{false};
  std::deque<ExternalNode> externals_;
  std::vector<std::pair<VariableNetworkNode, VariableNetworkNode>> explicit_;
  std::vector<std::unique_ptr<detail::NetworkBase>> networks_;
  ProcessVariableRegistry registry_;
  std::vector<std::function<void()>> startupSteps_;
  std::vector<std::function<void()>> connectionSteps_;
  std::vector<std::function<void()>> fatalHooks_;
  std::vector<std::unique_ptr<boost::thread>> threads_;
  mutable boost::mutex threadsMutex_;
  std::vector<std::function<bool()>> startedConditions_;
  std::atomic<bool> loopsStarted_{false};
  std::unique_ptr<detail::Executor> executor_;
  unsigned workerThreads_{0};
  std::chrono::milliseconds stallLimit_{1000};
  boost::mutex errorMutex_;
  std::exception_ptr testableError_;
  std::vector<std::pair<std::string, std::function<void()>>> pendingFrameworkThreads_;
};

/// Ends the process before the application object exists, for an entry point that answers its
/// command line during static initialisation (--help, --version, an option it cannot run with):
/// writes through C stdio, since the C++ streams may not be built yet, and exits with `status`.
[[noreturn]] void exitBeforeStart(int status, const std::string& toStdout, const std::string& toStderr);

/// Names the device map file that resolves device aliases (relative to the working directory).
void setDMapFilePath(const std::string& path);
const std::string& getDMapFilePath();

} // namespace orvane
