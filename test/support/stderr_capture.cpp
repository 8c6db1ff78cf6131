#include "support/stderr_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace vostrel::test {

StderrCapture::StderrCapture() {
  char path[] = "/tmp/vostrel-stderr-XXXXXX";
  file_ = mkstemp(path);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  unlink(path);
  std::clog.flush();
  std::fflush(stderr);
  saved_ = dup(2);
  dup2(file_, 2);
}

StderrCapture::~StderrCapture() {
  std::clog.flush();
  std::fflush(stderr);
  dup2(saved_, 2);
  close(saved_);
  close(file_);
}

std::string StderrCapture::text() const {
  std::clog.flush();
  std::fflush(stderr);
  std::string content;
  char chunk[4096];
  for (off_t offset = 0;;) {
    const ssize_t got = pread(file_, chunk, sizeof chunk, offset);
    if (got <= 0) break;
    content.append(chunk, static_cast<size_t>(got));
    offset += got;
  }
  return content;
}

}  // namespace vostrel::test
