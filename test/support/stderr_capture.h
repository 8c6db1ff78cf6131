#pragma once

#include <string>

namespace vostrel::test {

// Redirects file descriptor 2 (and so stderr and std::clog) into a temporary
// file while it lives, then restores it. Not for concurrent use.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written to descriptor 2 since construction.
  std::string text() const;

 private:
  int saved_;
  int file_;
};

}  // namespace vostrel::test
