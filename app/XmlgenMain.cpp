// Builds the whole module tree, writes the variable list and the PV list into the working
// directory and exits.
#include "ProductVersion.hpp"
#include "framework/Application.hpp"
#include "telvik/bridge/PvList.hpp"
#include "telvik/server/Health.hpp"
#include "telvik/server/Options.hpp"

#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>

namespace {

const char* const pvListFile = "quellorctrl.pvlist";

void writePvList(orvane::Application& app, const std::string& prefix) {
  app.initialise();
  telvik::bridge::PvTable table(app.processVariables(), prefix);
  std::ofstream out(pvListFile);
  if (!out) throw std::runtime_error(std::string("Cannot write the PV list '") + pvListFile + "'.");
  telvik::bridge::writePvList(table, out);
  out.close();
  if (!out) throw std::runtime_error(std::string("Writing the PV list '") + pvListFile + "' failed.");
}

} // namespace

int main(int argc, char** argv) {
  std::string prefix = telvik::server::Options{}.prefix;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << "Usage: quellor_xmlgen [--prefix P]\n"
                   "Builds the Quellor module tree from quellorctrl_base_config.xml and quellor.dmap in the\n"
                   "working directory and writes there the list of all variables, quellorctrl.xml, and the\n"
                   "PV list, quellorctrl.pvlist: one PV name per line with its CA type, element count,\n"
                   "access (rw/ro) and description, tab-separated, for archivers and directory services.\n"
                   "\n"
                   "  --prefix P   prepended to every PV name, as quellor_server's --prefix (default "
                << prefix << ")\n";
      return 0;
    }
    if (a == "--version") {
      std::cout << "quellor_xmlgen " << product::versionText << "\n";
      return 0;
    }
    if (a == "--prefix" || a.rfind("--prefix=", 0) == 0) {
      if (a == "--prefix" && i + 1 >= argc) {
        std::cerr << "quellor_xmlgen: option --prefix needs a value\n";
        return 2;
      }
      prefix = a == "--prefix" ? argv[++i] : a.substr(std::strlen("--prefix="));
      continue;
    }
    std::cerr << "quellor_xmlgen: unknown option '" << a << "' (see --help)\n";
    return 2;
  }
  try {
    auto& app = orvane::Application::getInstance();
    // The server publishes these beside the application's own; the lists show what it serves.
    telvik::server::HealthVariables health(app);
    app.generateXML();
    writePvList(app, prefix);
  } catch (const std::exception& e) {
    std::cerr << "quellor_xmlgen: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
