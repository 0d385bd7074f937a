#pragma once
// The control-system side of the application: one ProcessVariable per published name. The
// framework fills the registry in Application::initialise(); a control-system server serves it.
// Nothing here blocks a module thread for longer than a copy of the value under a short lock.

#include "framework/Network.hpp"
#include "framework/Types.hpp"

#include <boost/thread/mutex.hpp>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orvane {

enum class PvDirection {
  toOperator,    ///< fed by the application or the device; read-only for operators
  fromOperator,  ///< fed by the control system
  bidirectional, ///< fed by the control system, and the application writes it back
};
const char* pvDirectionName(PvDirection d); // "to_operator", "from_operator", "bidirectional"

struct ProcessVariableInfo {
  std::string path; ///< "/Channel0/StateMachine/currentState"
  ValueType type{ValueType::int32};
  size_t nElements{1};
  std::string unit;
  std::string description;
  PvDirection direction{PvDirection::toOperator};
  /// A write asks for an action (a command, a state request, an event) instead of giving a
  /// setting: it must never come back by itself, for instance after a restart.
  bool command{false};
  [[nodiscard]] bool writable() const { return direction != PvDirection::toOperator; }
};

class ProcessVariableRegistry;

class ProcessVariable final : public detail::ExternalEndpoint {
 public:
  struct Snapshot {
    AnyVector value;
    VersionNumber version{nullptr};
    DataValidity validity{DataValidity::ok};
    bool hasValue{false};
    std::uint64_t sequence{0}; ///< one more with every change of the above
  };

  ProcessVariable(ProcessVariableRegistry& registry, size_t index, ProcessVariableInfo info);

  [[nodiscard]] const ProcessVariableInfo& info() const { return info_; }
  [[nodiscard]] size_t index() const { return index_; }
  /// A copy of the latest value. Any thread.
  [[nodiscard]] Snapshot get() const;
  /// Counts the values the variable has held, without copying one: a reader that keeps a
  /// converted copy of a large array can see whether it is still current (version numbers do not
  /// tell, since a module may write back under the version of what it read). Any thread.
  [[nodiscard]] std::uint64_t sequence() const;
  /// An operator's write (any thread): converted to the variable's type and length (a shorter
  /// array fills the first elements, keeping the rest). Throws std::logic_error when the variable
  /// is not writable, std::invalid_argument when the value does not convert. Before the
  /// application runs it sets the initial value.
  void write(const AnyVector& value);
  /// Same, with a given version (time stamp of the write).
  void write(const AnyVector& value, const VersionNumber& version);

  // detail::ExternalEndpoint
  void consume(const AnyVector& value, const VersionNumber& version, DataValidity validity) override;
  void connected(const detail::NetworkPort& port) override { port_ = port; }

  /// Sends the held value into the network, if fed by the control system (at start).
  void sendInitialValue();

 private:
  void store(const AnyVector& value, const VersionNumber& version, DataValidity validity);
  void assignLocked(const AnyVector& value, const VersionNumber& version, DataValidity validity);
  void returned(const AnyVector& value, const VersionNumber& version, DataValidity validity,
                const VersionNumber& answered) override;
  ProcessVariableRegistry& registry_;
  size_t index_;
  ProcessVariableInfo info_;
  detail::NetworkPort port_;
  mutable boost::mutex mutex_;
  Snapshot snapshot_;
  VersionNumber lastOperatorWrite_{nullptr};
  bool running_{false};
  friend class ProcessVariableRegistry;
};

class ProcessVariableRegistry {
 public:
  using UpdateHook = std::function<void(const ProcessVariable&)>;

  [[nodiscard]] const std::vector<std::unique_ptr<ProcessVariable>>& all() const { return pvs_; }
  /// By path, with or without the leading "/"; nullptr when there is none.
  [[nodiscard]] ProcessVariable* find(const std::string& path) const;
  /// Called in the writer's thread after every new value of any variable; must not block. Add
  /// hooks before the application runs.
  void addUpdateHook(UpdateHook hook) { hooks_.push_back(std::move(hook)); }

  // Framework internals.
  ProcessVariable& add(ProcessVariableInfo info);
  void notify(const ProcessVariable& pv) const;
  void setRunning();
  void sendInitialValues();

 private:
  std::vector<std::unique_ptr<ProcessVariable>> pvs_;
  std::map<std::string, ProcessVariable*> byPath_;
  std::vector<UpdateHook> hooks_;
};

} // namespace orvane
