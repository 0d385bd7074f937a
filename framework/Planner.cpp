#include "framework/Planner.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>

namespace orvane::detail {

std::string describe(const AccessorBase* a) {
  const char* kind = a->isOutput() ? "output" : a->isPushInput() ? "push input" : "poll input";
  return std::string(kind) + " '" + a->getShortName() + "' of " + a->getModule().getQualifiedName() + " (" +
         valueTypeName(a->getValueType()) + "[" + std::to_string(a->getNElements()) + "])";
}

static std::string describe(const ExternalNode* e) {
  return std::string(e->role == ExternalNode::Role::feeder ? "feeding" : "consuming") + " " + e->ownerName;
}

namespace {

// The nodes that meet on one path, before their network is planned.
struct Group {
  std::vector<AccessorBase*> accessors;
  std::vector<ExternalNode*> externals;
  bool csNode{false};
  bool published{false};
  std::vector<std::pair<std::string, AccessorBase*>> mirrors; // extra control-system names
};
using Groups = std::map<std::string, Group>;

struct Redirections {
  std::map<AccessorBase*, std::string> feederPath;              // consumer accessor -> feeder path
  std::map<AccessorBase*, std::vector<std::string>> extraNames; // feeder accessor -> control-system names
};

// An explicit connection takes a module consumer into its feeder's network; one to a control-system
// variable gives the feeder one more published name. A consumer has one feeder.
Redirections applyExplicitConnections(const std::vector<ExplicitConnection>& connections, Groups& groups) {
  Redirections r;
  for (auto& [feeder, consumer] : connections) {
    if (consumer.isControlSystem()) {
      r.extraNames[feeder.accessor()].push_back(consumer.path());
      continue;
    }
    auto it = r.feederPath.find(consumer.accessor());
    if (it != r.feederPath.end() && it->second != feeder.path())
      throw std::logic_error("Variable '" + consumer.path() + "' is connected to two feeders: '" +
                             it->second + "' and '" + feeder.path() + "'.");
    r.feederPath[consumer.accessor()] = feeder.path();
    if (feeder.isControlSystem()) groups[feeder.path()].csNode = true;
  }
  return r;
}

// Every accessor joins the network of its own path, or of its explicit feeder. Published under its
// own path it publishes that network; published under another name, or joined to another path,
// it adds a read-only mirror of the network.
void joinAccessors(const std::vector<AccessorBase*>& accessors, Redirections& r, Groups& groups) {
  for (auto* a : accessors) {
    const std::string own = a->getName();
    std::optional<std::string> csName;
    if (a->publishedDirectory()) {
      const auto& dir = *a->publishedDirectory();
      csName = dir == "/" ? own : path::normalise(dir + own);
    }
    auto it = r.feederPath.find(a);
    if (it != r.feederPath.end()) {
      auto& g = groups[it->second];
      g.accessors.push_back(a);
      if (csName) g.mirrors.emplace_back(*csName, a);
    } else {
      auto& g = groups[own];
      g.accessors.push_back(a);
      if (csName) {
        if (*csName == own)
          g.published = true;
        else
          g.mirrors.emplace_back(*csName, a);
      }
    }
    for (auto& extra : r.extraNames[a])
      groups[a->getName()].mirrors.emplace_back(extra, a);
  }
}

// Of several names of one writable target only one is joined (see ExternalNode::sharedTarget):
// the first that a module uses, else the first.
std::map<std::string, ExternalNode*> chooseSharedTargetNames(std::deque<ExternalNode>& externals,
                                                             const Groups& groups) {
  std::map<std::string, ExternalNode*> chosenName;
  auto usedByModule = [&groups](const std::string& p) {
    auto it = groups.find(p);
    return it != groups.end() && !it->second.accessors.empty();
  };
  for (auto& e : externals) {
    if (e.sharedTarget.empty()) continue;
    auto& chosen = chosenName[e.sharedTarget];
    // The first name, unless a later one is the name a module uses.
    if (chosen == nullptr || (usedByModule(e.path) && !usedByModule(chosen->path))) chosen = &e;
  }
  return chosenName;
}

void joinExternalNodes(std::deque<ExternalNode>& externals, Groups& groups) {
  auto chosenName = chooseSharedTargetNames(externals, groups);
  for (auto& e : externals) {
    if (!e.sharedTarget.empty() && chosenName[e.sharedTarget] != &e) continue;
    auto& g = groups[e.path];
    g.externals.push_back(&e);
    if (e.publish) g.published = true;
  }
}

// Who may feed a network, before one of them is chosen.
struct FeederCandidates {
  std::vector<AccessorBase*> outputs;
  std::vector<ExternalNode*> externals;
  ExternalNode* nobodyFeeds{nullptr}; ///< a consumer that must not be left to the control system
};

// Sorts the nodes into feeders and consumers. A network that only the control system could feed
// asks its guarded consumers first: one that reads back feeds it itself, one that nobody may
// drive leaves it unfed. An explicit connection from a control-system variable is the
// application's own say and wins over both.
FeederCandidates sortNodes(const Group& g, PlanNetwork& n) {
  FeederCandidates c;
  for (auto* a : g.accessors) {
    (a->isOutput() ? c.outputs : n.moduleConsumers).push_back(a);
    if (a->getQueuePolicy() == QueuePolicy::keepAll) n.policy = QueuePolicy::keepAll;
  }
  for (auto* e : g.externals)
    (e->role == ExternalNode::Role::feeder ? c.externals : n.externalConsumers).push_back(e);
  if (!c.outputs.empty() || !c.externals.empty() || g.csNode) return c;
  auto guarded = [&n](ExternalNode::WhenUnfed w) {
    return std::find_if(n.externalConsumers.begin(), n.externalConsumers.end(),
                        [w](ExternalNode* e) { return e->whenUnfed == w; });
  };
  if (auto it = guarded(ExternalNode::WhenUnfed::readBack); it != n.externalConsumers.end()) {
    c.externals.push_back(*it);
    n.externalConsumers.erase(it);
  } else if (auto nobody = guarded(ExternalNode::WhenUnfed::nobody); nobody != n.externalConsumers.end()) {
    c.nobodyFeeds = *nobody;
  }
  return c;
}

// One feeder: a module output, else an external feeder, else the control system (unless a guarded
// consumer forbids it).
void chooseFeeder(const FeederCandidates& c, PlanNetwork& n) {
  std::vector<std::string> feeders;
  for (auto* a : c.outputs)
    feeders.push_back(describe(a));
  for (auto* e : c.externals)
    feeders.push_back(describe(e));
  if (feeders.size() > 1)
    throw std::logic_error("Variable '" + n.path + "' has two feeders: " + feeders[0] + " and " + feeders[1] +
                           ".");
  if (!c.outputs.empty())
    n.moduleFeeder = c.outputs[0];
  else if (!c.externals.empty())
    n.externalFeeder = c.externals[0];
  else
    n.csFeeds = c.nobodyFeeds == nullptr;
}

// A consumer must get values from somewhere: a control-system feeder only helps when the network
// is published, and a guarded consumer that nobody may drive feeds no module.
void checkConsumersAreFed(const FeederCandidates& c, const PlanNetwork& n, bool published) {
  if (n.csFeeds && !published) {
    if (!n.moduleConsumers.empty())
      throw std::logic_error("Variable '" + n.path + "' has no feeder: " + describe(n.moduleConsumers[0]) +
                             " is fed by no module output, device register or control-system variable.");
    if (!n.externalConsumers.empty())
      throw std::logic_error("Variable '" + n.path + "' has no feeder: " + describe(n.externalConsumers[0]) +
                             ".");
  }
  if (c.nobodyFeeds != nullptr && !n.moduleConsumers.empty())
    throw std::logic_error("Variable '" + n.path + "' has no feeder: " + describe(n.moduleConsumers[0]) +
                           " reads " + c.nobodyFeeds->ownerName +
                           ", which cannot be read back and which no module writes.");
}

// Type and length: module accessors must agree; external nodes adapt, but one that insists on an
// element count must have the network's.
void settleTypeAndLength(const Group& g, PlanNetwork& n) {
  AccessorBase* typed = nullptr;
  for (auto* a : g.accessors) {
    if (typed == nullptr) {
      typed = a;
      continue;
    }
    if (a->getValueType() != typed->getValueType())
      throw std::logic_error("Variable '" + n.path + "': type mismatch between " + describe(typed) + " and " +
                             describe(a) + ".");
    if (a->getNElements() != typed->getNElements())
      throw std::logic_error("Variable '" + n.path + "': length mismatch between " + describe(typed) +
                             " and " + describe(a) + ".");
  }
  if (typed != nullptr) {
    n.type = typed->getValueType();
    n.nElements = typed->getNElements();
  } else {
    for (auto* e : g.externals)
      if (e->type) {
        n.type = *e->type;
        break;
      }
    for (auto* e : g.externals)
      if (e->nElements) {
        n.nElements = *e->nElements;
        break;
      }
  }
  for (auto* e : g.externals)
    if (e->nElements && *e->nElements != n.nElements)
      throw std::logic_error("Variable '" + n.path + "': length mismatch: " + describe(e) + " has " +
                             std::to_string(*e->nElements) + " elements, the network " +
                             std::to_string(n.nElements) + ".");
}

// Unit and description for operators: the feeder's, else the first node that has one (a node with
// a mirror of its own shows its texts there).
std::pair<std::string, std::string> operatorTexts(const Group& g, const PlanNetwork& n) {
  std::string unit, description;
  auto take = [&](const std::string& u, const std::string& d) {
    if (unit.empty()) unit = u;
    if (description.empty()) description = d;
  };
  if (n.moduleFeeder != nullptr) take(n.moduleFeeder->getUnit(), n.moduleFeeder->getDescription());
  for (auto* a : g.accessors)
    if (g.mirrors.empty() ||
        std::none_of(g.mirrors.begin(), g.mirrors.end(), [a](auto& m) { return m.second == a; }))
      take(a->getUnit(), a->getDescription());
  for (auto* e : g.externals)
    take(e->unit, e->description);
  return {unit, description};
}

// The network's own path, writable exactly when the control system feeds it, and its mirrors,
// which operators only read.
void publish(const Group& g, bool published, PlanNetwork& n) {
  if (published) {
    auto [unit, description] = operatorTexts(g, n);
    ProcessVariableInfo info;
    info.path = n.path;
    info.type = n.type;
    info.nElements = n.nElements;
    info.unit = unit;
    info.description = description;
    bool returns = std::any_of(n.moduleConsumers.begin(), n.moduleConsumers.end(),
                               [](AccessorBase* a) { return a->hasReturnChannel(); });
    info.direction = !n.csFeeds ? PvDirection::toOperator
                                : (returns ? PvDirection::bidirectional : PvDirection::fromOperator);
    info.command =
        n.type == ValueType::nothing ||
        std::any_of(g.accessors.begin(), g.accessors.end(), [](AccessorBase* a) { return a->isCommand(); });
    n.pvs.push_back(info);
    n.ownPathPublished = true;
  }
  for (auto& [name, a] : g.mirrors) {
    ProcessVariableInfo info;
    info.path = name;
    info.type = n.type;
    info.nElements = n.nElements;
    info.unit = a->getUnit();
    info.description = a->getDescription();
    info.direction = PvDirection::toOperator;
    n.pvs.push_back(info);
  }
}

PlanNetwork planNetwork(const std::string& p, const Group& g) {
  PlanNetwork n;
  n.path = p;
  const auto candidates = sortNodes(g, n);
  chooseFeeder(candidates, n);
  const bool published = g.published || g.csNode;
  checkConsumersAreFed(candidates, n, published);
  settleTypeAndLength(g, n);
  publish(g, published, n);
  return n;
}

void checkNamesAreUnique(const Plan& plan) {
  std::set<std::string> names;
  for (auto& n : plan.networks)
    for (auto& pv : n.pvs)
      if (!names.insert(pv.path).second)
        throw std::logic_error("Control-system variable '" + pv.path + "' is published twice.");
}

} // namespace

std::unique_ptr<Plan> planNetworks(const std::vector<AccessorBase*>& accessors,
                                   const std::vector<ExplicitConnection>& explicitConnections,
                                   std::deque<ExternalNode>& externals) {
  Groups groups;
  auto redirections = applyExplicitConnections(explicitConnections, groups);
  joinAccessors(accessors, redirections, groups);
  joinExternalNodes(externals, groups);

  auto plan = std::make_unique<Plan>();
  for (auto& [p, g] : groups) {
    if (g.accessors.empty() && g.externals.empty() && !g.csNode) continue;
    plan->networks.push_back(planNetwork(p, g));
  }
  checkNamesAreUnique(*plan);
  return plan;
}

} // namespace orvane::detail
