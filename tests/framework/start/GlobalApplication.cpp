// The application object as the programs have it: a global of a translation unit that includes no
// stream header, linked before every other object, so that it is built before any other
// translation unit of the program could have made the standard streams usable.
#include "framework/Orvane.hpp"

namespace {

struct StartApp : orvane::Application {
  StartApp() : orvane::Application("starttest"), config(this, "Configuration", "starttest_base_config.xml") {}
  ~StartApp() override { shutdown(); }
  void defineConnections() override {}
  orvane::ConfigReader config;
};

StartApp theApplication;

} // namespace
