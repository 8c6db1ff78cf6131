#include "support/network_guard.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace vostrel::test {

bool requirePrivateNetwork() {
  std::ifstream routes("/proc/net/route");
  std::string line;
  std::getline(routes, line);
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string interface, destination;
    fields >> interface >> destination;
    if (destination == "00000000") {
      ADD_FAILURE() << "refusing to start a sensor: this network namespace has a default route via "
                    << interface << "; run the suite with scripts/test";
      return false;
    }
  }
  return true;
}

}  // namespace vostrel::test
