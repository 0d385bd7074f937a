#pragma once
// Accessors: a module's typed view of one process variable. Inputs are push (a read waits for a
// new value) or poll (a read takes the latest); outputs send with the module's current version.

#include "framework/Entity.hpp"
#include "framework/Network.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

enum class AccessorDirection { input, output };
enum class UpdateMode { push, poll };

/// Identity of an accessor, as handed out by ReadAnyGroup.
class TransferElementID {
 public:
  TransferElementID() = default;
  explicit TransferElementID(const void* p) : p_(p) {}
  [[nodiscard]] bool isValid() const { return p_ != nullptr; }
  friend bool operator==(const TransferElementID&, const TransferElementID&) = default;

 private:
  const void* p_{nullptr};
};

class VariableNetworkNode;

class AccessorBase {
 public:
  AccessorBase(EntityOwner* owner, std::string name, AccessorDirection direction, UpdateMode mode,
               bool returnChannel, ValueType type, size_t nElements, std::string unit,
               std::string description, TagSet tags);
  virtual ~AccessorBase();
  AccessorBase(const AccessorBase&) = delete;
  AccessorBase& operator=(const AccessorBase&) = delete;

  /// The published path of the variable ("/Channel0/StateMachine/requestedState").
  [[nodiscard]] std::string getName() const;
  [[nodiscard]] const std::string& getShortName() const { return name_; }
  [[nodiscard]] const std::string& getUnit() const { return unit_; }
  [[nodiscard]] const std::string& getDescription() const { return description_; }
  [[nodiscard]] const TagSet& getTags() const { return tags_; }
  [[nodiscard]] ValueType getValueType() const { return type_; }
  [[nodiscard]] size_t getNElements() const { return nElements_; }
  [[nodiscard]] AccessorDirection getDirection() const { return direction_; }
  [[nodiscard]] UpdateMode getMode() const { return mode_; }
  [[nodiscard]] bool isInput() const { return direction_ == AccessorDirection::input; }
  [[nodiscard]] bool isOutput() const { return direction_ == AccessorDirection::output; }
  [[nodiscard]] bool isPushInput() const { return isInput() && mode_ == UpdateMode::push; }
  [[nodiscard]] bool hasReturnChannel() const { return returnChannel_; }
  [[nodiscard]] EntityOwner* getOwner() const { return owner_; }
  /// The module that owns the accessor (through its variable groups).
  [[nodiscard]] Module& getModule() const;
  [[nodiscard]] TransferElementID getId() const { return TransferElementID(this); }

  [[nodiscard]] VersionNumber getVersionNumber() const { return version_; }
  [[nodiscard]] DataValidity dataValidity() const { return validity_; }
  void setDataValidity(DataValidity v) { validity_ = v; }
  /// Values this input lost because its queue was full.
  [[nodiscard]] uint64_t getLostCount() const;
  /// Asks for a queue policy for the connection this variable joins; any node of a network that
  /// asks for keepAll makes the whole connection keep all. Only before the application is
  /// initialised.
  void setQueuePolicy(QueuePolicy policy);
  /// The connection's policy once connected, the requested one before.
  [[nodiscard]] QueuePolicy getQueuePolicy() const;
  /// Declares that an operator's write of this input asks for an action (a command, a state
  /// request) rather than giving a setting (ProcessVariableInfo::command). Before initialisation.
  void markAsCommand() { command_ = true; }
  [[nodiscard]] bool isCommand() const { return command_; }

  /// Push input: waits for a new value. Poll input: takes the latest. Interruption point.
  void read();
  /// Takes one new value if there is one, without waiting.
  bool readNonBlocking();
  /// Takes every pending value without waiting and keeps the newest; tells whether one came.
  bool readLatest();
  /// Sends the value with the module's current version. Returns true when data was lost.
  bool write();
  /// Sends the value with the given version, which must not be older than the last one used.
  bool write(const VersionNumber& version);

  /// Set when the variable is published to the control system (by VirtualModule::connectTo).
  void setPublished(const std::string& csDirectory) { publishedDirectory_ = csDirectory; }
  [[nodiscard]] const std::optional<std::string>& publishedDirectory() const { return publishedDirectory_; }

  // Framework internals.
  virtual void bindNetwork(detail::NetworkBase* network) = 0;
  [[nodiscard]] detail::NetworkBase* network() const { return network_; }
  [[nodiscard]] virtual detail::QueueBase* queue() const = 0;
  /// Moves the oldest queued value into the buffer; inbox mutex held by the caller.
  virtual bool popLocked() = 0;
  /// Poll input: copies the network's latest value into the buffer.
  virtual bool fetchLatest() = 0;
  /// Caller checks the type; used for initial values and by the test facility.
  virtual void assignAny(const AnyVector& v) = 0;

 protected:
  virtual bool doWrite(const VersionNumber& version) = 0;
  void noteReceived(const VersionNumber& v, DataValidity validity);
  void requireBound(const char* what) const;

  EntityOwner* owner_;
  std::string name_;
  AccessorDirection direction_;
  UpdateMode mode_;
  bool returnChannel_;
  ValueType type_;
  size_t nElements_;
  std::string unit_;
  std::string description_;
  TagSet tags_;
  VersionNumber version_{nullptr};
  VersionNumber readVersion_{nullptr}; ///< of the value last read (an input's write answers it)
  VersionNumber lastWritten_{nullptr};
  DataValidity validity_{DataValidity::ok};
  detail::NetworkBase* network_{nullptr};
  std::optional<std::string> publishedDirectory_;
  QueuePolicy requestedPolicy_{QueuePolicy::replaceNewest};
  bool command_{false};
};

template <typename T> class Accessor : public AccessorBase {
 public:
  Accessor(EntityOwner* owner, const std::string& name, AccessorDirection direction, UpdateMode mode,
           bool returnChannel, size_t nElements, const std::string& unit, const std::string& description,
           const TagSet& tags)
      : AccessorBase(owner, name, direction, mode, returnChannel, valueTypeOf<T>, nElements, unit,
                     description, tags),
        buffer_(nElements) {}

  void bindNetwork(detail::NetworkBase* network) override {
    network_ = network;
    net_ = static_cast<detail::Network<T>*>(network);
    if (isPushInput()) {
      queue_ = std::make_unique<detail::Queue<T>>(&getModule().inbox(), this, 3, network->queuePolicy(),
                                                  nElements_);
      net_->addQueue(queue_.get());
    } else if (isInput()) {
      net_->addPollInbox(&getModule().inbox());
    }
  }
  [[nodiscard]] detail::QueueBase* queue() const override { return queue_.get(); }

  bool popLocked() override {
    if (!queue_) return false;
    detail::QueueEntry<T> e;
    if (!queue_->popLocked(e)) return false;
    buffer_ = std::move(e.value);
    noteReceived(e.version, e.validity);
    return true;
  }

  bool fetchLatest() override {
    if (net_ == nullptr) return false;
    VersionNumber v{nullptr};
    DataValidity val{};
    net_->fetch(buffer_, v, val);
    bool isNew = v != version_;
    noteReceived(v, val);
    return isNew;
  }

  void assignAny(const AnyVector& v) override { buffer_ = anyVectorAs<T>(v); }

  /// The whole buffer; its length must stay the accessor's element count.
  std::vector<T>& buffer() { return buffer_; }
  const std::vector<T>& buffer() const { return buffer_; }

 protected:
  bool doWrite(const VersionNumber& version) override {
    requireBound("write");
    if (buffer_.size() != nElements_)
      throw std::logic_error("Variable '" + getName() + "' holds " + std::to_string(buffer_.size()) +
                             " elements but has " + std::to_string(nElements_) + ".");
    if (isInput()) { // return channel
      net_->sendBack(buffer_, version, validity_, readVersion_);
      return false;
    }
    return net_->send(buffer_, version, validity_);
  }

  std::vector<T> buffer_;
  detail::Network<T>* net_{nullptr};
  std::unique_ptr<detail::Queue<T>> queue_;
};

template <typename T> class ScalarAccessor : public Accessor<T> {
 public:
  using Accessor<T>::Accessor;
  operator T&() { return this->buffer_[0]; }             // NOLINT: accessors stand in for values
  operator const T&() const { return this->buffer_[0]; } // NOLINT
  operator bool() const requires std::is_same_v<T, Boolean> { return this->buffer_[0].value; }
  ScalarAccessor& operator=(const T& v) {
    this->buffer_[0] = v;
    return *this;
  }
  /// Assigns the other accessor's value, not its identity.
  ScalarAccessor& operator=(const ScalarAccessor& other) {
    this->buffer_[0] = other.buffer_[0];
    return *this;
  }
  T& value() { return this->buffer_[0]; }
  [[nodiscard]] const T& value() const { return this->buffer_[0]; }
};

template <typename T> class ArrayAccessor : public Accessor<T> {
 public:
  using Accessor<T>::Accessor;
  T& operator[](size_t i) { return this->buffer_[i]; }
  const T& operator[](size_t i) const { return this->buffer_[i]; }
  [[nodiscard]] size_t size() const { return this->buffer_.size(); }
  T* data() { return this->buffer_.data(); }
  const T* data() const { return this->buffer_.data(); }
  auto begin() { return this->buffer_.begin(); }
  auto end() { return this->buffer_.end(); }
  auto begin() const { return this->buffer_.begin(); }
  auto end() const { return this->buffer_.end(); }
  ArrayAccessor& operator=(const std::vector<T>& v) {
    this->buffer_ = v;
    return *this;
  }
  operator const std::vector<T>&() const { return this->buffer_; } // NOLINT
};

template <typename T> class ScalarPushInput : public ScalarAccessor<T> {
 public:
  ScalarPushInput(EntityOwner* owner, const std::string& name, const std::string& unit,
                  const std::string& description, const TagSet& tags = {})
      : ScalarAccessor<T>(owner, name, AccessorDirection::input, UpdateMode::push, false, 1, unit,
                          description, tags) {}
  using ScalarAccessor<T>::operator=;
};

template <typename T> class ScalarPollInput : public ScalarAccessor<T> {
 public:
  ScalarPollInput(EntityOwner* owner, const std::string& name, const std::string& unit,
                  const std::string& description, const TagSet& tags = {})
      : ScalarAccessor<T>(owner, name, AccessorDirection::input, UpdateMode::poll, false, 1, unit,
                          description, tags) {}
  using ScalarAccessor<T>::operator=;
};

/// Push input with return channel: write() sends the value back to the feeder.
template <typename T> class ScalarPushInputWB : public ScalarAccessor<T> {
 public:
  ScalarPushInputWB(EntityOwner* owner, const std::string& name, const std::string& unit,
                    const std::string& description, const TagSet& tags = {})
      : ScalarAccessor<T>(owner, name, AccessorDirection::input, UpdateMode::push, true, 1, unit, description,
                          tags) {}
  using ScalarAccessor<T>::operator=;
};

template <typename T> class ScalarOutput : public ScalarAccessor<T> {
 public:
  ScalarOutput(EntityOwner* owner, const std::string& name, const std::string& unit,
               const std::string& description, const TagSet& tags = {})
      : ScalarAccessor<T>(owner, name, AccessorDirection::output, UpdateMode::push, false, 1, unit,
                          description, tags) {}
  using ScalarAccessor<T>::operator=;
};

template <typename T> class ArrayPushInput : public ArrayAccessor<T> {
 public:
  ArrayPushInput(EntityOwner* owner, const std::string& name, const std::string& unit, size_t nElements,
                 const std::string& description, const TagSet& tags = {})
      : ArrayAccessor<T>(owner, name, AccessorDirection::input, UpdateMode::push, false, nElements, unit,
                         description, tags) {}
  using ArrayAccessor<T>::operator=;
};

template <typename T> class ArrayPollInput : public ArrayAccessor<T> {
 public:
  ArrayPollInput(EntityOwner* owner, const std::string& name, const std::string& unit, size_t nElements,
                 const std::string& description, const TagSet& tags = {})
      : ArrayAccessor<T>(owner, name, AccessorDirection::input, UpdateMode::poll, false, nElements, unit,
                         description, tags) {}
  using ArrayAccessor<T>::operator=;
};

template <typename T> class ArrayOutput : public ArrayAccessor<T> {
 public:
  ArrayOutput(EntityOwner* owner, const std::string& name, const std::string& unit, size_t nElements,
              const std::string& description, const TagSet& tags = {})
      : ArrayAccessor<T>(owner, name, AccessorDirection::output, UpdateMode::push, false, nElements, unit,
                         description, tags) {}
  using ArrayAccessor<T>::operator=;
};

/// Event input: its value carries nothing, each arrival is one event.
class VoidInput : public Accessor<Void> {
 public:
  VoidInput(EntityOwner* owner, const std::string& name, const std::string& unit,
            const std::string& description, const TagSet& tags = {})
      : Accessor<Void>(owner, name, AccessorDirection::input, UpdateMode::push, false, 1, unit, description,
                       tags) {}
};

/// Event output: each write() is one event.
class VoidOutput : public Accessor<Void> {
 public:
  VoidOutput(EntityOwner* owner, const std::string& name, const std::string& unit,
             const std::string& description, const TagSet& tags = {})
      : Accessor<Void>(owner, name, AccessorDirection::output, UpdateMode::push, false, 1, unit, description,
                       tags) {}
};

/// Waits on several push inputs of one module and hands out updates in arrival order.
class ReadAnyGroup {
 public:
  ReadAnyGroup() = default;
  ReadAnyGroup(std::initializer_list<std::reference_wrapper<AccessorBase>> accessors);
  template <typename Iterator> ReadAnyGroup(Iterator begin, Iterator end) {
    for (auto it = begin; it != end; ++it)
      add(*it);
  }
  void add(AccessorBase& a);
  void add(AccessorBase* a) { add(*a); }

  /// Waits until one push input has a new value, takes it, brings the poll inputs up to date and
  /// returns the input's identity. Interruption point.
  TransferElementID readAny();
  /// As readAny() but returns an invalid identity at once when nothing is pending.
  TransferElementID readAnyNonBlocking();

 private:
  AccessorBase* takeOldestLocked();
  void updatePollInputs();
  std::vector<AccessorBase*> push_;
  std::vector<AccessorBase*> poll_;
  Module* module_{nullptr};
};

} // namespace orvane
