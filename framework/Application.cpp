#include "framework/Application.hpp"

#include "framework/Executor.hpp"
#include "framework/Log.hpp"
#include "framework/Planner.hpp"

#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

namespace orvane {

namespace {
Application* theInstance = nullptr;
std::string dmapFilePath;

// The process's short name for messages; the framework serves several programs.
const char* programName() {
  return program_invocation_short_name != nullptr && *program_invocation_short_name != '\0'
             ? program_invocation_short_name
             : "quellor";
}

// Construction of the global application object happens before main(); an exception there
// would otherwise end in std::terminate's core dump instead of one readable line. C stdio, not
// std::cerr: during static initialisation the C++ streams may not be built yet, and writing to
// them then is a crash without a word.
[[noreturn]] void terminateWithMessage() {
  std::string what = "terminated";
  if (auto e = std::current_exception()) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      what = ex.what();
    } catch (...) {
      what = "unknown fatal error";
    }
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", programName(), what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}
} // namespace

VariableNetworkNode::VariableNetworkNode(AccessorBase& accessor) : accessor_(&accessor) {}

VariableNetworkNode VariableNetworkNode::controlSystem(const std::string& path) {
  VariableNetworkNode n;
  n.csPath_ = path::normalise(path);
  return n;
}

std::string VariableNetworkNode::path() const {
  return accessor_ != nullptr ? accessor_->getName() : csPath_;
}

const VariableNetworkNode& operator>>(const VariableNetworkNode& feeder,
                                      const VariableNetworkNode& consumer) {
  Application::getInstance().addExplicitConnection(feeder, consumer);
  return feeder;
}

ControlSystemModule ControlSystemModule::operator[](const std::string& directory) const {
  return ControlSystemModule(path::join(directory_, directory));
}

VariableNetworkNode ControlSystemModule::operator()(const std::string& variableName) const {
  return VariableNetworkNode::controlSystem(path::join(directory_, variableName));
}

void ControlSystemModule::dump(const std::string& prefix, std::ostream* osp) const {
  std::ostream& os = osp != nullptr ? *osp : std::cout;
  std::string error;
  auto vars = Application::getInstance().plannedVariables(error);
  if (!error.empty()) os << prefix << "(connections are inconsistent: " << error << ")\n";
  std::map<std::string, std::vector<const ProcessVariableInfo*>> byDir;
  const std::string base = directory_ == "/" ? "" : directory_;
  for (auto& v : vars) {
    if (!base.empty() && v.path.rfind(base + "/", 0) != 0) continue;
    byDir[path::parent(v.path)].push_back(&v);
  }
  for (auto& [dir, list] : byDir) {
    os << prefix << dir << "\n";
    for (auto* v : list) {
      os << prefix << "  " << HierarchyModifyingGroup::namePart(v->path) << " : " << valueTypeName(v->type);
      if (v->nElements != 1) os << "[" << v->nElements << "]";
      os << ", " << pvDirectionName(v->direction);
      if (!v->unit.empty()) os << ", unit \"" << v->unit << "\"";
      if (!v->description.empty()) os << ", \"" << v->description << "\"";
      os << "\n";
    }
  }
  os.flush();
}

void VirtualModule::connectTo(const ControlSystemModule& cs) const {
  for (auto* a : accessors_)
    a->setPublished(cs.directory());
}

Application::Application(const std::string& name) : ModuleGroup(name) {
  // The application object is usually a global, and its members print while they are built; the
  // standard streams are guaranteed to exist only once an Init object has been constructed, which
  // the translation units of other globals may not yet have done.
  static const std::ios_base::Init streams;
  if (theInstance != nullptr)
    throw std::logic_error("Application '" + name + "': there is already an application '" +
                           theInstance->getName() + "' in this process.");
  theInstance = this;
  std::set_terminate(&terminateWithMessage);
}

// A failure to stop the threads ends the process; the terminate handler names it.
// NOLINTNEXTLINE(bugprone-exception-escape)
Application::~Application() {
  shutdown();
  theInstance = nullptr;
}

Application& Application::getInstance() {
  if (theInstance == nullptr) throw std::logic_error("No application object exists in this process.");
  return *theInstance;
}

bool Application::hasInstance() {
  return theInstance != nullptr;
}

void Application::enableTestableMode() {
  if (running_) throw std::logic_error("Testable mode must be enabled before the application runs.");
  testableMode_ = true;
}

void Application::setWorkerThreads(unsigned n) {
  if (running_) throw std::logic_error("Worker threads must be set before the application runs.");
  workerThreads_ = n;
}

void Application::setStallLimit(std::chrono::milliseconds limit) {
  stallLimit_ = limit;
  if (executor_) executor_->setStallLimit(limit);
}

std::vector<std::string> Application::loopProblems() const {
  boost::lock_guard<boost::mutex> g(threadsMutex_);
  if (!executor_) return {};
  return executor_->health().stalled;
}

void Application::addStartedCondition(std::function<bool()> condition) {
  if (running_)
    throw std::logic_error("Application '" + getName() + "': a started condition added after run().");
  startedConditions_.push_back(std::move(condition));
}

bool Application::hasStarted() const {
  if (!loopsStarted_.load(std::memory_order_acquire)) return false;
  return std::all_of(startedConditions_.begin(), startedConditions_.end(), [](const auto& c) { return c(); });
}

void Application::stepTestable() {
  detail::Executor* executor = nullptr;
  {
    boost::lock_guard<boost::mutex> g(threadsMutex_);
    executor = executor_.get();
  }
  if (executor != nullptr)
    executor->runUntilIdle([this] {
      boost::lock_guard<boost::mutex> g(errorMutex_);
      return testableError_ != nullptr;
    });
  std::exception_ptr e;
  {
    boost::lock_guard<boost::mutex> g(errorMutex_);
    e = std::exchange(testableError_, nullptr);
  }
  if (e) std::rethrow_exception(e);
}

uint64_t Application::restCount() const {
  boost::lock_guard<boost::mutex> g(threadsMutex_);
  return executor_ ? executor_->restCount() : 0;
}

void Application::addExternalNode(ExternalNode node) {
  if (initialised_)
    throw std::logic_error("Variable '" + node.path + "' added after the application was initialised.");
  node.path = path::normalise(node.path);
  externals_.push_back(std::move(node));
}

void Application::addExplicitConnection(const VariableNetworkNode& feeder,
                                        const VariableNetworkNode& consumer) {
  if (initialised_)
    throw std::logic_error("Connection to '" + consumer.path() + "' made after initialisation.");
  if (feeder.isControlSystem() && consumer.isControlSystem())
    throw std::logic_error("Cannot connect control-system variable '" + feeder.path() +
                           "' to control-system variable '" + consumer.path() + "'.");
  if (!feeder.isControlSystem() && !feeder.accessor()->isOutput())
    throw std::logic_error("Cannot feed '" + consumer.path() + "' from '" + feeder.path() +
                           "', which is an input.");
  if (!consumer.isControlSystem() && !consumer.accessor()->isInput())
    throw std::logic_error("Cannot connect '" + feeder.path() + "' to '" + consumer.path() +
                           "', which is an output.");
  explicit_.emplace_back(feeder, consumer);
}

void Application::defineConnectionsOnce() {
  if (connectionsDefined_) return;
  connectionsDefined_ = true;
  defineConnections();
  auto steps = std::move(connectionSteps_);
  connectionSteps_.clear();
  for (auto& step : steps)
    step();
}

std::unique_ptr<detail::Plan> Application::makePlan() {
  return detail::planNetworks(getAllAccessors(), explicit_, externals_);
}

void Application::instantiate(detail::Plan& plan) {
  struct PendingPv {
    ProcessVariableInfo info;
    detail::NetworkBase* net;
    bool feeder;
  };
  std::vector<PendingPv> pending;
  for (auto& n : plan.networks) {
    std::unique_ptr<detail::NetworkBase> net = dispatchValueType(n.type, [&](auto tag) {
      using T = decltype(tag);
      return std::unique_ptr<detail::NetworkBase>(
          std::make_unique<detail::Network<T>>(*this, n.path, n.nElements));
    });
    detail::NetworkPort port{net.get()};
    net->setQueuePolicy(n.policy);
    if (n.moduleFeeder != nullptr) n.moduleFeeder->bindNetwork(net.get());
    for (auto* a : n.moduleConsumers)
      a->bindNetwork(net.get());
    if (n.externalFeeder != nullptr) {
      net->setExternalFeeder(n.externalFeeder->endpoint);
      if (n.externalFeeder->endpoint != nullptr) n.externalFeeder->endpoint->connected(port);
    }
    for (auto* e : n.externalConsumers) {
      if (e->endpoint == nullptr) continue;
      net->addExternalConsumer(e->endpoint);
      e->endpoint->connected(port);
    }
    for (size_t i = 0; i < n.pvs.size(); ++i)
      pending.push_back({n.pvs[i], net.get(), n.csFeeds && i == 0 && n.ownPathPublished});
    networks_.push_back(std::move(net));
  }
  std::sort(pending.begin(), pending.end(), [](auto& a, auto& b) { return a.info.path < b.info.path; });
  for (auto& p : pending) {
    auto& pv = registry_.add(p.info);
    if (p.feeder)
      p.net->setExternalFeeder(&pv);
    else
      p.net->addExternalConsumer(&pv);
    pv.connected(detail::NetworkPort{p.net});
  }
}

void Application::initialise() {
  if (initialised_) return;
  defineConnectionsOnce();
  auto plan = makePlan();
  instantiate(*plan);
  initialised_ = true;
}

std::vector<ProcessVariableInfo> Application::plannedVariables(std::string& error) {
  std::vector<ProcessVariableInfo> out;
  try {
    auto plan = makePlan();
    for (auto& n : plan->networks)
      out.insert(out.end(), n.pvs.begin(), n.pvs.end());
  } catch (const std::exception& e) {
    error = e.what();
  }
  std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.path < b.path; });
  return out;
}

std::vector<ProcessVariableInfo> Application::plannedVariables() {
  std::string error;
  auto out = plannedVariables(error);
  if (!error.empty()) throw std::logic_error(error);
  return out;
}

void Application::dumpConnections(std::ostream& os) {
  std::unique_ptr<detail::Plan> plan;
  try {
    plan = makePlan();
  } catch (const std::exception& e) {
    os << "(connections are inconsistent: " << e.what() << ")" << std::endl;
    return;
  }
  os << "==== Variable networks of " << getName() << " (" << plan->networks.size() << ") ====\n";
  for (auto& n : plan->networks) {
    os << n.path << " : " << valueTypeName(n.type) << "[" << n.nElements << "]\n";
    os << "  feeder:   ";
    if (n.moduleFeeder != nullptr)
      os << detail::describe(n.moduleFeeder);
    else if (n.externalFeeder != nullptr)
      os << n.externalFeeder->ownerName;
    else if (n.csFeeds)
      os << "control system";
    else
      os << "none";
    os << "\n";
    for (auto* a : n.moduleConsumers)
      os << "  consumer: " << detail::describe(a) << "\n";
    for (auto* e : n.externalConsumers)
      os << "  consumer: " << e->ownerName << "\n";
    if (n.policy != QueuePolicy::replaceNewest) os << "  queue:    " << queuePolicyName(n.policy) << "\n";
    for (auto& pv : n.pvs)
      os << "  published: " << pv.path << " (" << pvDirectionName(pv.direction) << ")\n";
  }
  os << "====" << std::endl;
}

void Application::generateXML() {
  const std::string file = getName() + ".xml";
  std::ofstream out(file);
  if (!out) throw std::runtime_error("Cannot write the variable list '" + file + "'.");
  generateXML(out);
  if (!out) throw std::runtime_error("Writing the variable list '" + file + "' failed.");
}

void Application::generateXML(std::ostream& os) {
  defineConnectionsOnce();
  auto vars = plannedVariables();
  pugi::xml_document doc;
  auto decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  auto root = doc.append_child("application");
  root.append_attribute("name") = getName().c_str();
  for (auto& v : vars) {
    auto e = root.append_child("variable");
    e.append_attribute("path") = v.path.c_str();
    e.append_attribute("type") = valueTypeName(v.type);
    e.append_attribute("elements") = static_cast<unsigned long long>(v.nElements);
    e.append_attribute("direction") = pvDirectionName(v.direction);
    e.append_attribute("unit") = v.unit.c_str();
    e.append_attribute("description") = v.description.c_str();
  }
  doc.save(os, "  ");
}

void Application::fatalError(const std::string& where, const std::exception_ptr& e) {
  auto runHooks = [this] {
    for (auto& h : fatalHooks_) {
      try {
        h();
      } catch (...) {
      }
    }
  };
  if (testableMode_) {
    // The hooks leave behind what the process would, so that a test can look at it.
    runHooks();
    boost::lock_guard<boost::mutex> g(errorMutex_);
    if (!testableError_) testableError_ = e;
    return;
  }
  std::string what = "unknown exception";
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    what = ex.what();
  } catch (...) {
  }
  std::cout.flush();
  log::critical(where, what);
  runHooks();
  std::_Exit(1);
}

void Application::startThread(const std::string& name, std::function<void()> body, bool waitsForInitialValues,
                              Module* module) {
  auto run = [this, name, body = std::move(body), waitsForInitialValues, module] {
    try {
      if (waitsForInitialValues && module != nullptr) {
        auto accessors = module->getAccessorListRecursive();
        std::vector<AccessorBase*> inputs;
        for (auto* a : accessors)
          if (a->isInput() && a->network() != nullptr) inputs.push_back(a);
        module->inbox().waitUntil([&inputs] {
          for (auto* a : inputs) {
            if (a->isPushInput() ? a->queue()->emptyLocked() : !a->network()->hasValue()) return false;
          }
          return true;
        });
        {
          boost::lock_guard<boost::mutex> g(module->inbox().mutex);
          for (auto* a : inputs)
            if (a->isPushInput()) a->popLocked();
        }
        for (auto* a : inputs)
          if (!a->isPushInput()) a->fetchLatest();
      }
      body();
    } catch (const boost::thread_interrupted&) {
    } catch (const boost::context::detail::forced_unwind&) {
      throw;
    } catch (...) {
      fatalError(name, std::current_exception());
    }
  };
  boost::lock_guard<boost::mutex> g(threadsMutex_);
  if (shutDown_) return;
  // Module loops share the workers; a framework thread of normal mode blocks in device access and
  // subprocesses, so it keeps an operating-system thread of its own.
  if (module != nullptr || testableMode_)
    executor_->spawn(name, std::move(run));
  else
    threads_.push_back(std::make_unique<boost::thread>(std::move(run)));
}

void Application::startFrameworkThread(const std::string& name, std::function<void()> body) {
  if (!running_) {
    pendingFrameworkThreads_.emplace_back(name, std::move(body));
    return;
  }
  startThread(name, std::move(body), false, nullptr);
}

void Application::run() {
  if (running_) throw std::logic_error("Application '" + getName() + "' is already running.");
  initialise();
  {
    boost::lock_guard<boost::mutex> g(threadsMutex_);
    unsigned workers = 0;
    if (!testableMode_) {
      workers = workerThreads_;
      if (workers == 0) {
        const char* env = std::getenv("ORVANE_WORKER_THREADS");
        workers = env != nullptr ? static_cast<unsigned>(std::strtoul(env, nullptr, 10)) : 0;
      }
      if (workers == 0) workers = std::min(2U, std::max(1U, std::thread::hardware_concurrency()));
    }
    executor_ = std::make_unique<detail::Executor>(workers);
    executor_->setStallLimit(stallLimit_);
  }
  running_ = true;
  registry_.sendInitialValues();
  std::vector<Module*> modules;
  std::function<void(EntityOwner*)> collect = [&](EntityOwner* e) {
    if (e->kind() == EntityKind::module) modules.push_back(static_cast<Module*>(e));
    for (auto* s : e->getSubmodules())
      collect(s);
  };
  collect(this);
  for (auto* m : modules)
    m->prepare();
  for (auto& step : startupSteps_)
    step();
  for (auto& [name, body] : pendingFrameworkThreads_)
    startThread(name, std::move(body), false, nullptr);
  pendingFrameworkThreads_.clear();
  for (auto* m : modules) {
    if (!m->hasThread()) continue;
    auto* am = static_cast<ApplicationModule*>(m);
    startThread(
        m->getQualifiedName(), [am] { am->mainLoop(); }, true, m);
  }
  loopsStarted_.store(true, std::memory_order_release);
  if (!testableMode_) waitForSettledStart();
}

void Application::waitForSettledStart() {
  // The start is a burst of work (device opening, first tables, first writes). Whoever runs the
  // application next (the control system's trigger generator) should find every loop waiting for
  // its inputs: a trigger stream that began during the burst would only overflow the queues of
  // loops that have not started yet. Bounded, so that a loop that never waits cannot hold the
  // start; a few quiet looks in a row, so that a hand-over between threads is not taken for rest.
  size_t frameworkThreads = 0;
  {
    boost::lock_guard<boost::mutex> g(threadsMutex_);
    frameworkThreads = threads_.size();
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int quietLooks = 0;
  while (quietLooks < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const bool settled = executor_->quiet() && detail::threadsWaiting() >= static_cast<int>(frameworkThreads);
    quietLooks = settled ? quietLooks + 1 : 0;
  }
}

void Application::shutdown() {
  std::vector<std::unique_ptr<boost::thread>> threads;
  {
    boost::lock_guard<boost::mutex> g(threadsMutex_);
    if (shutDown_) return;
    shutDown_ = true;
    threads.swap(threads_);
  }
  if (executor_) executor_->shutdown();
  for (auto& t : threads)
    t->interrupt();
  for (auto& t : threads)
    t->join();
  if (running_ && !testableMode_) reportLostValues();
}

void Application::reportLostValues() {
  std::vector<std::pair<std::string, uint64_t>> lost;
  uint64_t total = 0;
  for (auto* a : getAllAccessors()) {
    if (const uint64_t n = a->getLostCount(); n > 0) {
      lost.emplace_back(a->getName(), n);
      total += n;
    }
  }
  std::string text = std::to_string(total) + " values lost in the variable networks";
  for (size_t i = 0; i < lost.size() && i < 10; ++i)
    text += (i == 0 ? ": " : ", ") + lost[i].first + " " + std::to_string(lost[i].second);
  if (lost.size() > 10) text += ", ...";
  log::write(total > 0 ? log::Severity::warning : log::Severity::info, getName(), text);
}

void exitBeforeStart(int status, const std::string& toStdout, const std::string& toStderr) {
  std::fwrite(toStdout.data(), 1, toStdout.size(), stdout);
  std::fflush(stdout);
  std::fwrite(toStderr.data(), 1, toStderr.size(), stderr);
  std::fflush(stderr);
  std::_Exit(status);
}

void setDMapFilePath(const std::string& path) {
  dmapFilePath = path;
}
const std::string& getDMapFilePath() {
  return dmapFilePath;
}

} // namespace orvane
