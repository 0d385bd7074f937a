#include "framework/Entity.hpp"

#include "framework/Accessor.hpp"
#include "framework/Application.hpp"

#include <algorithm>
#include <iostream>
#include <regex>
#include <stdexcept>

namespace orvane {

namespace path {

std::string normalise(const std::string& p) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string part = p.substr(i, j - i);
    if (part.empty() || part == ".") {
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (auto& part : parts)
    out += "/" + part;
  return out.empty() ? "/" : out;
}

std::string join(const std::string& dir, const std::string& rel) {
  if (!rel.empty() && rel[0] == '/') return normalise(rel);
  return normalise(dir + "/" + rel);
}

std::string parent(const std::string& dir) {
  return normalise(dir + "/..");
}

} // namespace path

EntityOwner::EntityOwner(EntityOwner* owner, std::string name, std::string description,
                         HierarchyModifier modifier, TagSet tags, EntityKind kind, bool nameMayHoldSlashes)
    : owner_(owner), name_(std::move(name)), description_(std::move(description)), modifier_(modifier),
      tags_(std::move(tags)), kind_(kind) {
  if (!nameMayHoldSlashes && name_.find('/') != std::string::npos)
    throw std::logic_error("Module names must not contain slashes: '" + name_ + "'.");
  if (owner_ != nullptr) owner_->registerSubmodule(this);
}

EntityOwner::~EntityOwner() {
  if (owner_ != nullptr) owner_->unregisterSubmodule(this);
}

std::string EntityOwner::getDirectory() const {
  if (owner_ == nullptr) return "/";
  std::string ownerDir = owner_->getDirectory(); // not const: returned, it is moved
  if (fixedDirectory_) return path::join(ownerDir, *fixedDirectory_);
  switch (modifier_) {
  case HierarchyModifier::none:
    return path::join(ownerDir, name_);
  case HierarchyModifier::hideThis:
    return ownerDir;
  case HierarchyModifier::moveToRoot:
    return path::join("/", name_);
  case HierarchyModifier::oneLevelUp:
    return path::join(path::parent(ownerDir), name_);
  case HierarchyModifier::oneUpAndHide:
    return path::parent(ownerDir);
  }
  return ownerDir;
}

std::string EntityOwner::getQualifiedName() const {
  if (owner_ == nullptr) return "/" + name_;
  std::string o = owner_->getQualifiedName();
  return o + "/" + name_;
}

std::vector<AccessorBase*> EntityOwner::getAccessorListRecursive() const {
  std::vector<AccessorBase*> out(accessors_);
  for (auto* s : submodules_) {
    if (s->kind() == EntityKind::variableGroup) {
      auto sub = s->getAccessorListRecursive();
      out.insert(out.end(), sub.begin(), sub.end());
    }
  }
  return out;
}

std::vector<AccessorBase*> EntityOwner::getAllAccessors() const {
  std::vector<AccessorBase*> out(accessors_);
  for (auto* s : submodules_) {
    auto sub = s->getAllAccessors();
    out.insert(out.end(), sub.begin(), sub.end());
  }
  return out;
}

VirtualModule EntityOwner::findTag(const std::string& tagRegex) const {
  std::regex re(tagRegex);
  std::vector<AccessorBase*> selected;
  for (auto* a : getAllAccessors()) {
    bool match = false;
    if (a->getTags().empty()) {
      match = std::regex_match(std::string(), re);
    } else {
      for (auto& t : a->getTags())
        match = match || std::regex_match(t, re);
    }
    if (match) selected.push_back(a);
  }
  return VirtualModule(std::move(selected));
}

void EntityOwner::dump(const std::string& prefix, std::ostream* osp) const {
  std::ostream& os = osp != nullptr ? *osp : std::cout;
  os << prefix << "+ " << name_ << " (" << getDirectory() << ")";
  if (!description_.empty()) os << " \"" << description_ << "\"";
  os << "\n";
  for (auto* a : accessors_) {
    os << prefix << "  | " << a->getShortName() << " : " << valueTypeName(a->getValueType());
    if (a->getNElements() != 1) os << "[" << a->getNElements() << "]";
    os << (a->isOutput() ? " output" : a->isPushInput() ? " push input" : " poll input");
    if (a->hasReturnChannel()) os << " with return channel";
    os << " -> " << a->getName() << "\n";
  }
  for (auto* s : submodules_)
    s->dump(prefix + "  ", &os);
}

void EntityOwner::readAll() {
  auto list = getAccessorListRecursive();
  for (auto* a : list)
    if (a->isPushInput()) a->read();
  for (auto* a : list)
    if (a->isInput() && !a->isPushInput()) a->read();
}

void EntityOwner::writeAll() {
  for (auto* a : getAccessorListRecursive())
    if (a->isOutput()) a->write();
}

Module* EntityOwner::owningModule() {
  for (EntityOwner* o = owner_; o != nullptr; o = o->getOwner())
    if (o->kind() == EntityKind::module) return static_cast<Module*>(o);
  return nullptr;
}

void EntityOwner::registerAccessor(AccessorBase* a) {
  accessors_.push_back(a);
}
void EntityOwner::unregisterAccessor(AccessorBase* a) {
  accessors_.erase(std::remove(accessors_.begin(), accessors_.end(), a), accessors_.end());
}
void EntityOwner::registerSubmodule(EntityOwner* e) {
  submodules_.push_back(e);
}
void EntityOwner::unregisterSubmodule(EntityOwner* e) {
  submodules_.erase(std::remove(submodules_.begin(), submodules_.end(), e), submodules_.end());
}

Module::Module(EntityOwner* owner, const std::string& name, const std::string& description,
               HierarchyModifier modifier, const TagSet& tags)
    : EntityOwner(owner, name, description, modifier, tags, EntityKind::module) {}

ReadAnyGroup Module::readAnyGroup() {
  ReadAnyGroup g;
  for (auto* a : getAccessorListRecursive())
    if (a->isInput()) g.add(*a);
  return g;
}

ModuleGroup::ModuleGroup(EntityOwner* owner, const std::string& name, const std::string& description,
                         HierarchyModifier modifier, const TagSet& tags)
    : EntityOwner(owner, name, description, modifier, tags, EntityKind::moduleGroup) {}

ModuleGroup::ModuleGroup(const std::string& applicationName)
    : EntityOwner(nullptr, applicationName, "", HierarchyModifier::none, {}, EntityKind::application) {}

VariableGroup::VariableGroup(EntityOwner* owner, const std::string& name, const std::string& description,
                             HierarchyModifier modifier, const TagSet& tags)
    : EntityOwner(owner, name, description, modifier, tags, EntityKind::variableGroup) {}

VariableGroup::VariableGroup(FixedPath, EntityOwner* owner, const std::string& path,
                             const std::string& description, const TagSet& tags)
    : EntityOwner(owner, HierarchyModifyingGroup::namePart(path), description, HierarchyModifier::none, tags,
                  EntityKind::variableGroup, true) {
  fixedDirectory_ = path;
}

HierarchyModifyingGroup::HierarchyModifyingGroup(EntityOwner* owner, const std::string& path,
                                                 const std::string& description, const TagSet& tags)
    : VariableGroup(FixedPath{}, owner, path, description, tags) {}

std::string HierarchyModifyingGroup::directoryPart(const std::string& qualifiedName) {
  auto pos = qualifiedName.rfind('/');
  if (pos == std::string::npos) return ".";
  if (pos == 0) return "/";
  return qualifiedName.substr(0, pos);
}

std::string HierarchyModifyingGroup::namePart(const std::string& qualifiedName) {
  auto pos = qualifiedName.rfind('/');
  return pos == std::string::npos ? qualifiedName : qualifiedName.substr(pos + 1);
}

} // namespace orvane
