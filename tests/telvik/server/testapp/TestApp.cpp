// A small application for exercising the CA server end to end: a variable of every type the
// server maps, a 65536-element table, a long string, a state that follows a request, a DC ramp
// paced by the trigger and a waveform rewritten on every trigger.
#include "framework/Orvane.hpp"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using namespace orvane;

// Follows requests the way a state machine acknowledges them: currentState takes the requested
// value, except 99, which is refused and written back.
struct StateFollower : ApplicationModule {
  ScalarPushInputWB<int32_t> requestedState{this, "requestedState", "", "Requested channel state"};
  ScalarOutput<int32_t> currentState{this, "currentState", "", "Current channel state"};
  StateFollower(EntityOwner* owner, const std::string& name, const std::string& description)
      : ApplicationModule(owner, name, description) {
    requestedState.markAsCommand();
  }
  void prepare() override { currentState.write(); }
  void mainLoop() override {
    for (;;) {
      requestedState.read();
      if (requestedState == 99) {
        requestedState = currentState.value();
        requestedState.write();
        continue;
      }
      currentState = requestedState.value();
      currentState.write();
    }
  }
};

// Moves dcVoltage towards the setpoint by at most 0.5 V per trigger.
struct Ramp : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<double> dcVoltageSetpoint{this, "dcVoltageSetpoint", "V", "DC voltage setpoint"};
  ScalarPushInput<int64_t> trigger{this, "trigger", "", "Trigger to execute the next voltage step."};
  ScalarOutput<double> dcVoltage{this, "dcVoltage", "V", "DC voltage"};
  void prepare() override { dcVoltage.write(); }
  void mainLoop() override {
    ReadAnyGroup g{dcVoltageSetpoint, trigger};
    for (;;) {
      auto id = g.readAny();
      if (id != trigger.getId()) continue;
      double target = dcVoltageSetpoint;
      double now = dcVoltage;
      if (now == target) continue;
      double d = target - now;
      dcVoltage = std::abs(d) <= 0.5 ? target : now + (d > 0 ? 0.5 : -0.5);
      dcVoltage.write();
    }
  }
};

// Operator settings of every type, and read-only values derived from them.
struct Types : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> int32Setting{this, "int32Setting", "counts", "A signed 32-bit setting"};
  ScalarPushInput<uint32_t> uint32Setting{this, "uint32Setting", "n.A.", "An unsigned 32-bit setting"};
  ScalarPushInput<int64_t> int64Setting{this, "int64Setting", "n.A.", "A signed 64-bit setting"};
  ScalarPushInput<float> floatSetting{this, "floatSetting", "mm", "A float setting"};
  ScalarPushInput<double> doubleSetting{this, "doubleSetting", "V", "A double setting"};
  ScalarPushInput<Boolean> flag{this, "flag", "", "A Boolean setting"};
  ScalarPushInput<std::string> text{this, "text", "", "A text setting"};
  ArrayPushInput<double> controlTable{this, "controlTable", "V", 65536, "Feed-forward table"};
  VoidInput event{this, "event", "", "An event"};
  ScalarOutput<double> doubled{this, "doubled", "V", "Twice the double setting"};
  ScalarOutput<uint32_t> eventCount{this, "eventCount", "", "Events received"};
  ScalarOutput<std::string> message{this, "message", "", "Echo of the text setting"};
  ArrayOutput<int32_t> dacVoltage{this, "dacVoltage", "counts", 16, "DAC read-back"};
  ScalarOutput<double> tableSum{this, "tableSum", "V", "Sum of the control table"};
  ScalarOutput<double> health{this, "health", "", "Faulty while the flag is set"};
  void prepare() override {
    doubled.write();
    eventCount.write();
    message.write();
    dacVoltage.write();
    tableSum.write();
    health.write();
  }
  void mainLoop() override {
    // Initial (possibly restored) settings are not updates; derive the outputs from them first.
    doubled = 2 * doubleSetting;
    doubled.write();
    ReadAnyGroup g{int32Setting, uint32Setting, int64Setting, floatSetting, doubleSetting,
                   flag,         text,          controlTable, event};
    for (;;) {
      auto id = g.readAny();
      if (id == doubleSetting.getId()) {
        doubled = 2 * doubleSetting;
        doubled.write();
      } else if (id == event.getId()) {
        eventCount = eventCount + 1;
        eventCount.write();
      } else if (id == text.getId()) {
        message = "Received: " + text.value();
        message.write();
      } else if (id == int32Setting.getId()) {
        std::vector<int32_t> v(16);
        for (size_t i = 0; i < v.size(); ++i)
          v[i] = int32Setting * static_cast<int32_t>(i);
        dacVoltage = v;
        dacVoltage.write();
      } else if (id == controlTable.getId()) {
        double s = 0;
        for (double x : controlTable)
          s += x;
        tableSum = s;
        tableSum.write();
      } else if (id == flag.getId()) {
        health = flag ? 1.0 : 0.0;
        health.setDataValidity(flag ? DataValidity::faulty : DataValidity::ok);
        health.write();
      }
    }
  }
};

// Rewrites a 65536-element waveform on every trigger, for the slow-client tests.
struct Waveform : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int64_t> trigger{this, "trigger", "", "Trigger"};
  ArrayOutput<double> waveform{this, "waveform", "V", 65536, "A waveform rewritten on every trigger"};
  ScalarOutput<int64_t> lastTrigger{this, "lastTrigger", "", "Trigger of the last waveform"};
  void prepare() override {
    waveform.write();
    lastTrigger.write();
  }
  void mainLoop() override {
    std::vector<double> v(65536);
    for (;;) {
      trigger.read();
      for (size_t i = 0; i < v.size(); i += 1024)
        v[i] = static_cast<double>(trigger.value());
      waveform = v;
      waveform.write();
      lastTrigger = trigger.value();
      lastTrigger.write();
    }
  }
};

// For the benchmarks: 64 values rewritten on every trigger, and one written in a tight loop while
// `spin` is set.
struct Load : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int64_t> trigger{this, "trigger", "", "Trigger"};
  ScalarPollInput<int32_t> spin{this, "spin", "", "Number of tight-loop writes to make on the next trigger"};
  ScalarOutput<double> spinValue{this, "spinValue", "", "Written in a tight loop"};
  ScalarOutput<uint64_t> spinWrites{this, "spinWrites", "", "Tight-loop writes made"};
  std::vector<std::unique_ptr<ScalarOutput<double>>> values;
  Load(EntityOwner* owner, const std::string& name, const std::string& description)
      : ApplicationModule(owner, name, description) {
    for (int i = 0; i < 64; ++i)
      values.push_back(
          std::make_unique<ScalarOutput<double>>(this, "value" + std::to_string(i), "", "Per trigger"));
  }
  void prepare() override {
    for (auto& v : values)
      v->write();
    spinValue.write();
    spinWrites.write();
  }
  void mainLoop() override {
    uint64_t writes = 0;
    for (;;) {
      trigger.read();
      for (auto& v : values) {
        *v = static_cast<double>(trigger.value());
        v->write();
      }
      spin.read();
      int32_t n = spin;
      for (int32_t i = 0; i < n; ++i) {
        spinValue = static_cast<double>(++writes);
        spinValue.write();
      }
      if (n > 0) {
        spinWrites = writes;
        spinWrites.write();
      }
    }
  }
};

// Hangs in the middle of an update (an interruptible wait that is no framework wait, as a
// deadlocked or stuck call would be) while `hang` is non-zero, for the service-watchdog tests.
struct Hang : ApplicationModule {
  using ApplicationModule::ApplicationModule;
  ScalarPushInput<int32_t> hang{this, "hang", "", "Non-zero: the next update hangs this module's loop"};
  void mainLoop() override {
    for (;;) {
      hang.read();
      // Holds its worker without a framework wait, yet ends at shutdown: a stuck call that
      // polls for its cancellation.
      if (hang != 0)
        for (;;) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          orvane::interruptionPoint();
        }
    }
  }
};

struct TelvikTestApp : Application {
  TelvikTestApp() : Application("telviktest") {}
  ~TelvikTestApp() override { shutdown(); }
  StateFollower state{this, "StateMachine", "State follower"};
  Ramp ramp{this, "DcVoltageStepLimiter", "DC ramp"};
  Types types{this, "Types", "Every type"};
  Waveform waveform{this, "Waveform", "Waveform"};
  Load load{this, "Load", "Load generator"};
  Hang hang{this, "Hang", "Hangs on request"};
  void defineConnections() override {
    auto trig = ControlSystemModule{}["Server"]("triggerNumber");
    trig >> ramp.trigger;
    trig >> waveform.trigger;
    trig >> load.trigger;
    findTag(".*").connectTo(ControlSystemModule{});
  }
};

TelvikTestApp theApp;

} // namespace
