// Builds the whole module tree, writes the variable list into the working directory and exits.
#include "ProductVersion.hpp"
#include "framework/Application.hpp"

#include <cstring>
#include <exception>
#include <iostream>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << "Usage: quellor_xmlgen\n"
                   "Builds the Quellor module tree from quellorctrl_base_config.xml and quellor.dmap in the\n"
                   "working directory and writes the list of all variables to quellorctrl.xml there.\n";
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::cout << "quellor_xmlgen " << product::versionText << "\n";
      return 0;
    }
    std::cerr << "quellor_xmlgen: unknown option '" << argv[i] << "' (see --help)\n";
    return 2;
  }
  try {
    orvane::Application::getInstance().generateXML();
  } catch (const std::exception& e) {
    std::cerr << "quellor_xmlgen: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
