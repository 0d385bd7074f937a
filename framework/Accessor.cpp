#include "framework/Accessor.hpp"

#include "framework/Application.hpp"

#include <iostream>

namespace orvane {

const char* queuePolicyName(QueuePolicy p) {
  return p == QueuePolicy::keepAll ? "keep all" : "replace newest";
}

namespace detail {
uint64_t nextArrivalStamp() {
  static std::atomic<uint64_t> stamp{0};
  return stamp.fetch_add(1, std::memory_order_relaxed) + 1;
}

void throwBacklogFull(const AccessorBase* owner, size_t entries) {
  throw std::logic_error("Variable '" + owner->getName() + "': " + std::to_string(entries) +
                         " values wait unread on a connection that must not lose any; its reader in " +
                         owner->getModule().getQualifiedName() + " has stopped taking them.");
}
} // namespace detail

AccessorBase::AccessorBase(EntityOwner* owner, std::string name, AccessorDirection direction, UpdateMode mode,
                           bool returnChannel, ValueType type, size_t nElements, std::string unit,
                           std::string description, TagSet tags)
    : owner_(owner), name_(std::move(name)), direction_(direction), mode_(mode),
      returnChannel_(returnChannel), type_(type), nElements_(nElements), unit_(std::move(unit)),
      description_(std::move(description)), tags_(std::move(tags)) {
  if (owner_ == nullptr) throw std::logic_error("Accessor '" + name_ + "' has no owner.");
  if (name_.find('/') != std::string::npos)
    throw std::logic_error("Accessor names must not contain slashes: '" + name_ + "' in module '" +
                           owner_->getName() + "'.");
  if (owner_->owningModule() == nullptr)
    throw std::logic_error(
        "Accessor '" + name_ + "' in '" + owner_->getName() +
        "' is not owned by a module (its owner must be a module or a variable group in one).");
  owner_->registerAccessor(this);
}

AccessorBase::~AccessorBase() {
  owner_->unregisterAccessor(this);
}

std::string AccessorBase::getName() const {
  return path::join(owner_->getDirectory(), name_);
}

Module& AccessorBase::getModule() const {
  return *owner_->owningModule();
}

uint64_t AccessorBase::getLostCount() const {
  auto* q = queue();
  return q != nullptr ? q->lostCount() : 0;
}

void AccessorBase::setQueuePolicy(QueuePolicy policy) {
  if (network_ != nullptr)
    throw std::logic_error("Variable '" + getName() +
                           "': the queue policy is set after the application has connected its variables.");
  requestedPolicy_ = policy;
}

QueuePolicy AccessorBase::getQueuePolicy() const {
  return network_ != nullptr ? network_->queuePolicy() : requestedPolicy_;
}

void AccessorBase::requireBound(const char* what) const {
  if (network_ == nullptr)
    throw std::logic_error("Variable '" + getName() + "': " + what +
                           "() before the application has connected its variables.");
}

void AccessorBase::noteReceived(const VersionNumber& v, DataValidity validity) {
  version_ = v;
  readVersion_ = v;
  validity_ = validity;
  getModule().setCurrentVersionNumber(v);
}

void AccessorBase::read() {
  requireBound("read");
  if (!isPushInput()) {
    fetchLatest();
    return;
  }
  auto* q = queue();
  auto& inbox = q->inbox();
  inbox.waitUntil([q] { return !q->emptyLocked(); });
  boost::lock_guard<boost::mutex> g(inbox.mutex);
  popLocked();
}

bool AccessorBase::readNonBlocking() {
  requireBound("readNonBlocking");
  if (!isPushInput()) return fetchLatest();
  boost::lock_guard<boost::mutex> g(queue()->inbox().mutex);
  return popLocked();
}

bool AccessorBase::readLatest() {
  requireBound("readLatest");
  if (!isPushInput()) return fetchLatest();
  boost::lock_guard<boost::mutex> g(queue()->inbox().mutex);
  bool any = false;
  while (popLocked())
    any = true;
  return any;
}

bool AccessorBase::write() {
  return write(getModule().getCurrentVersionNumber());
}

bool AccessorBase::write(const VersionNumber& version) {
  if (!isOutput() && !hasReturnChannel())
    throw std::logic_error("Variable '" + getName() +
                           "' is an input without return channel and cannot be written.");
  if (version < lastWritten_)
    throw std::logic_error("The version number passed to write() of TransferElement '" + getName() +
                           "' is less than the last version number used.");
  lastWritten_ = version;
  version_ = version;
  bool lost = doWrite(version);
  if (lost) {
    auto& app = Application::getInstance();
    if (app.debugDataLoss()) std::cout << "Data loss in variable " << getName() << std::endl;
  }
  return lost;
}

ReadAnyGroup::ReadAnyGroup(std::initializer_list<std::reference_wrapper<AccessorBase>> accessors) {
  for (auto& a : accessors)
    add(a.get());
}

void ReadAnyGroup::add(AccessorBase& a) {
  if (!a.isInput()) throw std::logic_error("ReadAnyGroup: '" + a.getName() + "' is not an input.");
  Module* m = &a.getModule();
  if (module_ != nullptr && m != module_)
    throw std::logic_error("ReadAnyGroup: '" + a.getName() + "' belongs to another module than the group.");
  module_ = m;
  (a.isPushInput() ? push_ : poll_).push_back(&a);
}

AccessorBase* ReadAnyGroup::takeOldestLocked() {
  AccessorBase* best = nullptr;
  uint64_t bestSeq = 0;
  for (auto* a : push_) {
    auto* q = a->queue();
    if (q != nullptr && !q->emptyLocked() && (best == nullptr || q->frontSeqLocked() < bestSeq)) {
      best = a;
      bestSeq = q->frontSeqLocked();
    }
  }
  if (best != nullptr) best->popLocked();
  return best;
}

void ReadAnyGroup::updatePollInputs() {
  for (auto* a : poll_)
    a->fetchLatest();
}

TransferElementID ReadAnyGroup::readAny() {
  if (push_.empty())
    throw std::logic_error("ReadAnyGroup has no element with AccessMode::wait_for_new_data.");
  for (auto* a : push_)
    if (a->queue() == nullptr)
      throw std::logic_error("ReadAnyGroup: '" + a->getName() + "' is not connected.");
  auto& inbox = module_->inbox();
  AccessorBase* got = nullptr;
  for (;;) {
    inbox.waitUntil([this] {
      for (auto* a : push_)
        if (!a->queue()->emptyLocked()) return true;
      return false;
    });
    {
      boost::lock_guard<boost::mutex> g(inbox.mutex);
      got = takeOldestLocked();
    }
    if (got != nullptr) break;
  }
  updatePollInputs();
  return got->getId();
}

TransferElementID ReadAnyGroup::readAnyNonBlocking() {
  if (push_.empty())
    throw std::logic_error("ReadAnyGroup has no element with AccessMode::wait_for_new_data.");
  AccessorBase* got = nullptr;
  {
    boost::lock_guard<boost::mutex> g(module_->inbox().mutex);
    got = takeOldestLocked();
  }
  if (got == nullptr) return {};
  updatePollInputs();
  return got->getId();
}

} // namespace orvane

namespace orvane::detail {
bool NetworkPort::send(const AnyVector& value, const VersionNumber& version, DataValidity validity) const {
  return network->sendAny(value, version, validity);
}
ValueType NetworkPort::type() const {
  return network->type();
}
size_t NetworkPort::nElements() const {
  return network->nElements();
}
const std::string& NetworkPort::path() const {
  return network->path();
}
} // namespace orvane::detail
