#pragma once
// The module tree: every module, group and accessor registers with its owner when it is built and
// deregisters when it is destroyed. Published paths follow from the owners' names and hierarchy
// modifiers, so they are computed, never stored.

#include "framework/Sync.hpp"
#include "framework/Types.hpp"

#include <boost/chrono/duration.hpp>

#include <iosfwd>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace orvane {

class AccessorBase;
class Application;
class ControlSystemModule;
class Module;
class ReadAnyGroup;
class VirtualModule;

using TagSet = std::unordered_set<std::string>;

enum class HierarchyModifier {
  none = 0,         ///< a directory of its own inside the owner's directory
  hideThis = 1,     ///< no directory of its own: contents appear in the owner's directory
  moveToRoot = 2,   ///< a directory of its own at the root
  oneLevelUp = 3,   ///< a directory of its own beside the owner's directory
  oneUpAndHide = 4, ///< no directory of its own, contents appear beside the owner's directory
};

enum class EntityKind { application, moduleGroup, variableGroup, module };

class EntityOwner {
 public:
  EntityOwner(EntityOwner* owner, std::string name, std::string description, HierarchyModifier modifier,
              TagSet tags, EntityKind kind, bool nameMayHoldSlashes = false);
  virtual ~EntityOwner();
  EntityOwner(const EntityOwner&) = delete;
  EntityOwner& operator=(const EntityOwner&) = delete;

  [[nodiscard]] const std::string& getName() const { return name_; }
  [[nodiscard]] const std::string& getDescription() const { return description_; }
  [[nodiscard]] HierarchyModifier getHierarchyModifier() const { return modifier_; }
  [[nodiscard]] const TagSet& getTags() const { return tags_; }
  [[nodiscard]] EntityOwner* getOwner() const { return owner_; }
  [[nodiscard]] EntityKind kind() const { return kind_; }

  /// The directory in the published tree that this entity's variables go to ("/" is the root).
  [[nodiscard]] virtual std::string getDirectory() const;
  /// Path of this entity in the module tree, hidden levels included, for messages.
  [[nodiscard]] std::string getQualifiedName() const;

  [[nodiscard]] const std::vector<AccessorBase*>& getAccessors() const { return accessors_; }
  [[nodiscard]] const std::vector<EntityOwner*>& getSubmodules() const { return submodules_; }
  /// Accessors of this entity and of its variable groups (not of owned modules).
  [[nodiscard]] std::vector<AccessorBase*> getAccessorListRecursive() const;
  /// Every accessor below this entity, modules included.
  [[nodiscard]] std::vector<AccessorBase*> getAllAccessors() const;

  /// Variables below this entity with a tag matching the regular expression. A variable without
  /// tags is matched as if it had the empty tag, so ".*" selects everything.
  [[nodiscard]] VirtualModule findTag(const std::string& tagRegex) const;

  /// The module tree as indented text.
  virtual void dump(const std::string& prefix = "", std::ostream* os = nullptr) const;

  /// Waits on every push input, then takes the latest value of every poll input.
  void readAll();
  /// Writes every output; inputs with return channel are left out.
  void writeAll();

  /// The nearest module that owns this entity (itself if it is one); nullptr for pure groups.
  [[nodiscard]] virtual Module* owningModule();

  // Registration, called by the constructors of owned entities.
  void registerAccessor(AccessorBase* a);
  void unregisterAccessor(AccessorBase* a);
  void registerSubmodule(EntityOwner* e);
  void unregisterSubmodule(EntityOwner* e);

 protected:
  /// A fixed directory (absolute, or relative to the owner's), for hierarchy-modifying groups.
  std::optional<std::string> fixedDirectory_;

 private:
  EntityOwner* owner_;
  std::string name_;
  std::string description_;
  HierarchyModifier modifier_;
  TagSet tags_;
  EntityKind kind_;
  std::vector<AccessorBase*> accessors_;
  std::vector<EntityOwner*> submodules_;
};

/// A module with accessors of its own: it has a version number and an inbox for its push inputs.
class Module : public EntityOwner {
 public:
  Module(EntityOwner* owner, const std::string& name, const std::string& description,
         HierarchyModifier modifier = HierarchyModifier::none, const TagSet& tags = {});

  /// Called once after all connections are made and before any module thread starts.
  virtual void prepare() {}

  /// The version that writes of this module's outputs carry: the newest version received.
  [[nodiscard]] VersionNumber getCurrentVersionNumber() const { return currentVersion_; }
  void setCurrentVersionNumber(const VersionNumber& v) {
    if (v > currentVersion_) currentVersion_ = v;
  }

  /// A group over all inputs of this module (poll inputs are brought up to date on each wake-up).
  ReadAnyGroup readAnyGroup();

  detail::Inbox& inbox() { return inbox_; }
  Module* owningModule() override { return this; }
  /// Whether the framework runs mainLoop() of this module in a thread of its own.
  [[nodiscard]] virtual bool hasThread() const { return false; }

 private:
  VersionNumber currentVersion_;
  detail::Inbox inbox_;
};

/// A module whose mainLoop() runs in its own thread.
class ApplicationModule : public Module {
 public:
  using Module::Module;
  /// Runs in the module's own thread; ends only with the thread interruption at shutdown.
  virtual void mainLoop() = 0;
  [[nodiscard]] bool hasThread() const override { return true; }

 protected:
  /// A pause of the main loop that shutdown interrupts and that Application::checkLiveness()
  /// counts as waiting, not as being stuck: a loop that sleeps for a configured delay is idle.
  void sleepFor(boost::chrono::milliseconds duration);
};

/// Groups modules without being one.
class ModuleGroup : public EntityOwner {
 public:
  ModuleGroup(EntityOwner* owner, const std::string& name, const std::string& description,
              HierarchyModifier modifier = HierarchyModifier::none, const TagSet& tags = {});

 protected:
  ModuleGroup(const std::string& applicationName); // the application itself
};

/// Groups the variables of one module under a directory.
class VariableGroup : public EntityOwner {
 public:
  VariableGroup(EntityOwner* owner, const std::string& name, const std::string& description,
                HierarchyModifier modifier = HierarchyModifier::none, const TagSet& tags = {});

 protected:
  struct FixedPath {};
  VariableGroup(FixedPath, EntityOwner* owner, const std::string& path, const std::string& description,
                const TagSet& tags);
};

/// A variable group placed at a given path: absolute ("/Board") or relative to the owner's
/// directory ("../Other/Dir").
class HierarchyModifyingGroup : public VariableGroup {
 public:
  HierarchyModifyingGroup(EntityOwner* owner, const std::string& path, const std::string& description = "",
                          const TagSet& tags = {});

  static std::string directoryPart(const std::string& qualifiedName);
  static std::string namePart(const std::string& qualifiedName);
};

/// One accessor at a qualified path ("/Board/hwProtectionMonitor"): the directory part becomes a
/// group, the last component the variable's name.
template <typename AccessorType> class ModifyHierarchy : public HierarchyModifyingGroup {
 public:
  template <typename... Args>
  ModifyHierarchy(EntityOwner* owner, const std::string& qualifiedName, Args&&... args)
      : HierarchyModifyingGroup(owner, directoryPart(qualifiedName)),
        value(this, namePart(qualifiedName), std::forward<Args>(args)...) {}

  AccessorType value;

  AccessorType& operator*() { return value; }
  AccessorType* operator->() { return &value; }
  operator AccessorType&() { return value; } // NOLINT: stands in for the accessor
};

namespace path {
/// Joins and normalises ("." and ".." resolved, no trailing slash, always absolute).
std::string join(const std::string& dir, const std::string& rel);
std::string parent(const std::string& dir);
std::string normalise(const std::string& p);
} // namespace path

} // namespace orvane
