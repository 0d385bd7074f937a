#pragma once
// Planning of the variable networks: which nodes share a network, which one feeds it, its type and
// length, and under which names the control system publishes it. Planning builds nothing and may
// run any number of times (the listings plan before the application is initialised); every
// inconsistency of the set-up is a std::logic_error that names the path and the parties.

#include "framework/Application.hpp"

#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orvane::detail {

struct PlanNetwork {
  std::string path;
  ValueType type{ValueType::int64};
  size_t nElements{1};
  AccessorBase* moduleFeeder{nullptr};
  ExternalNode* externalFeeder{nullptr};
  bool csFeeds{false};
  QueuePolicy policy{QueuePolicy::replaceNewest};
  std::vector<AccessorBase*> moduleConsumers;
  std::vector<ExternalNode*> externalConsumers;
  std::vector<ProcessVariableInfo> pvs; ///< the first is the network's own path when published
  bool ownPathPublished{false};
};

struct Plan {
  std::vector<PlanNetwork> networks; ///< in path order
};

/// Feeder first, consumer second, as VariableNetworkNode's operator>> made it.
using ExplicitConnection = std::pair<VariableNetworkNode, VariableNetworkNode>;

/// Joins every set of nodes with equal paths (after the explicit connections) into one network.
/// The plan points into `externals`, which must outlive it.
[[nodiscard]] std::unique_ptr<Plan> planNetworks(const std::vector<AccessorBase*>& accessors,
                                                 const std::vector<ExplicitConnection>& explicitConnections,
                                                 std::deque<ExternalNode>& externals);

/// An accessor as messages and listings name it: "push input 'x' of /app/M (int32[1])".
[[nodiscard]] std::string describe(const AccessorBase* a);

} // namespace orvane::detail
