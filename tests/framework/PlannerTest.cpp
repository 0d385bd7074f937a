// Set-ups the variable networks cannot be planned from: each case builds the smallest application
// that shows one inconsistency and expects initialise() to name it, word for word.
#include "framework/Orvane.hpp"
#include "framework/TestFacility.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace orvane;

namespace {

// A module with one variable at an absolute path.
template <typename T> struct Holder : ApplicationModule {
  Holder(EntityOwner* owner, const std::string& name, const std::string& path, AccessorDirection direction,
         size_t nElements)
      : ApplicationModule(owner, name, ""),
        v(this, path, direction, UpdateMode::push, false, nElements, "", "", TagSet{}) {}
  ModifyHierarchy<Accessor<T>> v;
  void mainLoop() override {}
};

struct PlanApp : Application {
  PlanApp() : Application("plan") {}
  ~PlanApp() override { shutdown(); }

  template <typename T = int32_t>
  Accessor<T>& output(const std::string& module, const std::string& path, size_t n = 1) {
    return add<T>(module, path, AccessorDirection::output, n);
  }
  template <typename T = int32_t>
  Accessor<T>& input(const std::string& module, const std::string& path, size_t n = 1) {
    return add<T>(module, path, AccessorDirection::input, n);
  }
  /// A device register's node as a device module adds it, without an endpoint (nothing is built).
  void reg(const std::string& path, ExternalNode::Role role, auto&& adjust) {
    ExternalNode node;
    node.path = path;
    node.role = role;
    node.type = ValueType::int32;
    node.ownerName = "register " + path + " of device D";
    adjust(node);
    addExternalNode(std::move(node));
  }
  void reg(const std::string& path, ExternalNode::Role role) {
    reg(path, role, [](ExternalNode&) {});
  }

  void defineConnections() override {
    if (connections) connections();
  }
  std::function<void()> connections;
  std::vector<std::unique_ptr<Module>> modules;

 private:
  template <typename T>
  Accessor<T>& add(const std::string& module, const std::string& path, AccessorDirection direction,
                   size_t n) {
    auto m = std::make_unique<Holder<T>>(this, module, path, direction, n);
    auto& v = m->v.value;
    modules.push_back(std::move(m));
    return v;
  }
};

struct Case {
  std::string setUp;
  std::function<void(PlanApp&)> build;
  std::string message;
};

void expectRefused(const std::vector<Case>& cases) {
  for (auto& c : cases) {
    SCOPED_TRACE(c.setUp);
    PlanApp app;
    TestFacility tf(app);
    c.build(app);
    try {
      app.initialise();
      ADD_FAILURE() << "planned";
    } catch (const std::logic_error& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(Planner, ANetworkHasOneFeeder) {
  expectRefused({
      {"an input connected to two outputs",
       [](PlanApp& app) {
         auto& a = app.output("A", "/a");
         auto& b = app.output("B", "/b");
         auto& c = app.input("C", "/c");
         app.connections = [&] {
           VariableNetworkNode(a) >> c;
           VariableNetworkNode(b) >> c;
         };
       },
       "Variable '/c' is connected to two feeders: '/a' and '/b'."},
      {"two outputs on one path",
       [](PlanApp& app) {
         app.output("A", "/x");
         app.output("B", "/x");
       },
       "Variable '/x' has two feeders: output 'x' of /plan/A (int32[1]) and output 'x' of /plan/B "
       "(int32[1])."},
      {"an output on the path of a readable register",
       [](PlanApp& app) {
         app.output("A", "/x");
         app.reg("/x", ExternalNode::Role::feeder);
       },
       "Variable '/x' has two feeders: output 'x' of /plan/A (int32[1]) and feeding register /x of device "
       "D."},
  });
}

TEST(Planner, EveryConsumerIsFed) {
  expectRefused({
      {"an input nobody feeds or publishes", [](PlanApp& app) { app.input("C", "/x"); },
       "Variable '/x' has no feeder: push input 'x' of /plan/C (int32[1]) is fed by no module output, device "
       "register or control-system variable."},
      {"an unpublished writable register nobody feeds",
       [](PlanApp& app) {
         app.reg("/x", ExternalNode::Role::consumer, [](ExternalNode& n) { n.publish = false; });
       },
       "Variable '/x' has no feeder: consuming register /x of device D."},
      {"an input on a register that cannot be read back and that operators may not drive",
       [](PlanApp& app) {
         app.input("C", "/x");
         app.reg("/x", ExternalNode::Role::consumer,
                 [](ExternalNode& n) { n.whenUnfed = ExternalNode::WhenUnfed::nobody; });
       },
       "Variable '/x' has no feeder: push input 'x' of /plan/C (int32[1]) reads register /x of device D, "
       "which "
       "cannot be read back and which no module writes."},
  });
}

TEST(Planner, NodesAgreeOnTypeAndLength) {
  expectRefused({
      {"an int32 output and a float input",
       [](PlanApp& app) {
         app.output("A", "/x");
         app.input<float>("C", "/x");
       },
       "Variable '/x': type mismatch between output 'x' of /plan/A (int32[1]) and push input 'x' of /plan/C "
       "(float[1])."},
      {"an output of 3 elements and an input of 4",
       [](PlanApp& app) {
         app.output("A", "/x", 3);
         app.input("C", "/x", 4);
       },
       "Variable '/x': length mismatch between output 'x' of /plan/A (int32[3]) and push input 'x' of "
       "/plan/C "
       "(int32[4])."},
      {"a scalar output into a register of 2 elements",
       [](PlanApp& app) {
         app.output("A", "/x");
         app.reg("/x", ExternalNode::Role::consumer, [](ExternalNode& n) { n.nElements = 2; });
       },
       "Variable '/x': length mismatch: consuming register /x of device D has 2 elements, the network 1."},
  });
}

TEST(Planner, EveryPublishedNameIsUnique) {
  expectRefused({
      {"an output also published under the path of another published variable",
       [](PlanApp& app) {
         auto& a = app.output("A", "/a");
         app.output("B", "/b");
         app.connections = [&app, &a] {
           app.findTag(".*").connectTo(ControlSystemModule{});
           a >> ControlSystemModule{}("b");
         };
       },
       "Control-system variable '/b' is published twice."},
  });
}

} // namespace
