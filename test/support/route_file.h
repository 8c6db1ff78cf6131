#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace vostrel::test {

// A routing-table fixture in a temporary file of its own, removed with the
// object.
class RouteFile {
 public:
  explicit RouteFile(const std::string& content = "") {
    char pattern[] = "/tmp/vostrel-route-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    path_ = pattern;
    std::ofstream(path_) << content;
  }
  RouteFile(const RouteFile&) = delete;
  RouteFile& operator=(const RouteFile&) = delete;
  ~RouteFile() { std::remove(path_.c_str()); }

  const std::string& path() const { return path_; }

  static constexpr const char* header =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  // One route line; gateway as the kernel writes it (little-endian hex).
  static std::string line(const std::string& destination, const std::string& gateway) {
    return "eth0\t" + destination + "\t" + gateway + "\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
  }

 private:
  std::string path_;
};

}  // namespace vostrel::test
