// Reports what the global application read, so the test sees that a good start goes on.
#include "framework/Orvane.hpp"

#include <iostream>

int main() {
  std::cout << "nChannels " << orvane::appConfig().get<int32_t>("nChannels") << std::endl;
  return 0;
}
