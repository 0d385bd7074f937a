#include "framework/ControlSystem.hpp"

#include <stdexcept>

namespace orvane {

const char* pvDirectionName(PvDirection d) {
  switch (d) {
  case PvDirection::toOperator:
    return "to_operator";
  case PvDirection::fromOperator:
    return "from_operator";
  case PvDirection::bidirectional:
    return "bidirectional";
  }
  return "to_operator";
}

ProcessVariable::ProcessVariable(ProcessVariableRegistry& registry, size_t index, ProcessVariableInfo info)
    : registry_(registry), index_(index), info_(std::move(info)) {
  snapshot_.value = makeAnyVector(info_.type, info_.nElements);
}

ProcessVariable::Snapshot ProcessVariable::get() const {
  boost::lock_guard<boost::mutex> g(mutex_);
  return snapshot_;
}

std::uint64_t ProcessVariable::sequence() const {
  boost::lock_guard<boost::mutex> g(mutex_);
  return snapshot_.sequence;
}

void ProcessVariable::assignLocked(const AnyVector& value, const VersionNumber& version,
                                   DataValidity validity) {
  snapshot_.value = value;
  snapshot_.version = version;
  snapshot_.validity = validity;
  snapshot_.hasValue = true;
  ++snapshot_.sequence;
}

void ProcessVariable::store(const AnyVector& value, const VersionNumber& version, DataValidity validity) {
  {
    boost::lock_guard<boost::mutex> g(mutex_);
    assignLocked(value, version, validity);
  }
  registry_.notify(*this);
}

void ProcessVariable::returned(const AnyVector& value, const VersionNumber& version, DataValidity validity,
                               const VersionNumber& answered) {
  {
    // A module hands a value back in answer to one it read (a refused setpoint set back). An
    // operator's write made after that one is still on its way to the module, which will answer
    // it in turn; the older answer must not replace it, or operators would see, and the settings
    // file keep, a value the module no longer holds.
    // The test and the assignment under one lock: an operator's write between them would be lost.
    boost::lock_guard<boost::mutex> g(mutex_);
    if (lastOperatorWrite_ > answered) return;
    assignLocked(value, version, validity);
  }
  registry_.notify(*this);
}

void ProcessVariable::write(const AnyVector& value) {
  write(value, VersionNumber());
}

void ProcessVariable::write(const AnyVector& value, const VersionNumber& version) {
  if (!info_.writable()) throw std::logic_error("Variable '" + info_.path + "' is read-only.");
  AnyVector converted = typeOf(value) == info_.type ? value : convertAnyVector(value, info_.type);
  if (sizeOf(converted) != info_.nElements) {
    // Short writes change the leading elements only; long ones are cut to the variable's length.
    AnyVector full = get().value;
    std::visit(
        [&full](const auto& src) {
          using V = std::decay_t<decltype(src)>;
          auto& dst = std::get<V>(full);
          for (size_t i = 0; i < src.size() && i < dst.size(); ++i)
            dst[i] = src[i];
        },
        converted);
    converted = std::move(full);
  }
  bool running;
  {
    boost::lock_guard<boost::mutex> g(mutex_);
    running = running_;
    if (version > lastOperatorWrite_) lastOperatorWrite_ = version;
    assignLocked(converted, version, DataValidity::ok);
  }
  registry_.notify(*this);
  if (running && port_) port_.send(converted, version, DataValidity::ok);
}

void ProcessVariable::consume(const AnyVector& value, const VersionNumber& version, DataValidity validity) {
  store(value, version, validity);
}

void ProcessVariable::sendInitialValue() {
  Snapshot s;
  {
    boost::lock_guard<boost::mutex> g(mutex_);
    running_ = true;
    if (!info_.writable() || !port_) return;
    if (!snapshot_.hasValue) {
      snapshot_.hasValue = true;
      snapshot_.version = VersionNumber();
      ++snapshot_.sequence;
    }
    s = snapshot_;
  }
  port_.send(s.value, s.version, s.validity);
}

ProcessVariable* ProcessVariableRegistry::find(const std::string& path) const {
  auto it = byPath_.find(!path.empty() && path[0] == '/' ? path : "/" + path);
  return it == byPath_.end() ? nullptr : it->second;
}

ProcessVariable& ProcessVariableRegistry::add(ProcessVariableInfo info) {
  if (byPath_.count(info.path) != 0)
    throw std::logic_error("Variable '" + info.path + "' is published twice.");
  auto pv = std::make_unique<ProcessVariable>(*this, pvs_.size(), std::move(info));
  auto* raw = pv.get();
  pvs_.push_back(std::move(pv));
  byPath_[raw->info().path] = raw;
  return *raw;
}

void ProcessVariableRegistry::notify(const ProcessVariable& pv) const {
  for (auto& h : hooks_)
    h(pv);
}

void ProcessVariableRegistry::sendInitialValues() {
  for (auto& pv : pvs_)
    pv->sendInitialValue();
}

void ProcessVariableRegistry::setRunning() {
  for (auto& pv : pvs_) {
    boost::lock_guard<boost::mutex> g(pv->mutex_);
    pv->running_ = true;
  }
}

} // namespace orvane
