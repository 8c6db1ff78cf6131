#include "plugin/logger.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/stderr_capture.h"

namespace vostrel {
namespace {

struct Line {
  LogLevel level;
  int pid;
  std::string message;
};

// A logger whose sink keeps what it receives.
struct RecordingLogger {
  Logger logger;
  std::vector<Line> lines;
  RecordingLogger() {
    logger.setSink([this](LogLevel level, int pid, opentracing::string_view message) {
      lines.push_back({level, pid, std::string(message.data(), message.size())});
    });
  }
};

std::string linePattern(int pid, const std::string& word, const std::string& message) {
  return R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}, )" + std::to_string(pid) + R"( \[lvs\] )" + word +
         message + "\n";
}

// The default sink writes date, time, pid, the tag and the level word in one
// line; off writes nothing and an unknown level gets no word.
TEST(Logger, DefaultSinkFormatsLines) {
  struct Case {
    int level;
    const char* word;
  };
  for (const Case& c : {Case{1, "Debug: "}, Case{2, "Info: "}, Case{3, "Warn: "}, Case{4, "Error: "},
                        Case{0, ""}, Case{5, ""}, Case{7, ""}, Case{-1, ""}}) {
    SCOPED_TRACE(c.level);
    test::StderrCapture capture;
    defaultLogSink(static_cast<LogLevel>(c.level), 4711, "hello world");
    EXPECT_TRUE(std::regex_match(capture.text(), std::regex(linePattern(4711, c.word, "hello world"))))
        << capture.text();
  }
  test::StderrCapture capture;
  defaultLogSink(LogLevel::off, 4711, "hidden");
  EXPECT_EQ(capture.text(), "");
}

// Message bytes are written as the view gives them, zero bytes included and
// nothing past its end.
TEST(Logger, DefaultSinkWritesExactMessageBytes) {
  const std::string message("a\0b\nc", 5);
  test::StderrCapture capture;
  defaultLogSink(LogLevel::warn, 1, opentracing::string_view(message.data(), 4));
  const std::string text = capture.text();
  ASSERT_GE(text.size(), 5u);
  EXPECT_EQ(text.substr(text.size() - 5), std::string("a\0b\n\n", 5));
}

// A message passes when its level is at or above the threshold; a new logger
// passes errors only, and off passes nothing.
TEST(Logger, FiltersByThreshold) {
  struct Case {
    bool setThreshold;
    LogLevel threshold;
    std::vector<int> passed;
  };
  for (const Case& c : {Case{false, LogLevel::error, {4, 5}}, Case{true, LogLevel::debug, {1, 2, 3, 4, 5}},
                        Case{true, LogLevel::warn, {3, 4, 5}}, Case{true, LogLevel::off, {}}}) {
    SCOPED_TRACE(static_cast<int>(c.threshold));
    RecordingLogger recording;
    if (c.setThreshold) recording.logger.setThreshold(c.threshold);
    for (int level : {1, 2, 3, 4, 5}) recording.logger.log(static_cast<LogLevel>(level), "m");
    std::vector<int> passed;
    for (const Line& line : recording.lines) passed.push_back(static_cast<int>(line.level));
    EXPECT_EQ(passed, c.passed);
  }
}

// Pieces are streamed with default formatting and logged with the logger's
// own pid; a null text cuts the message there but it is still logged.
TEST(Logger, StreamsPiecesIntoOneMessage) {
  RecordingLogger recording;
  recording.logger.log(LogLevel::error, "n=", 42, " d=", -7, " u=", 18446744073709551615ull, " f=",
                       3.14159265, " s=", std::string("str"));
  const char* missing = nullptr;
  recording.logger.log(LogLevel::error, "before ", missing, " after");
  ASSERT_EQ(recording.lines.size(), 2u);
  EXPECT_EQ(recording.lines[0].message, "n=42 d=-7 u=18446744073709551615 f=3.14159 s=str");
  EXPECT_EQ(recording.lines[0].pid, getpid());
  EXPECT_EQ(recording.lines[1].message, "before ");
}

// A throwing or empty sink never lets the failure reach the caller.
TEST(Logger, SwallowsSinkFailures) {
  Logger logger;
  logger.setSink([](LogLevel, int, opentracing::string_view) { throw std::runtime_error("sink"); });
  EXPECT_NO_THROW(logger.log(LogLevel::error, "x"));
  EXPECT_NO_THROW(logger.log(LogLevel::error, 1, "x"));
  logger.setSink(nullptr);
  EXPECT_NO_THROW(logger.log(LogLevel::error, "x"));
}

// Lines logged in a forked child carry the pid of the process that created the logger.
TEST(Logger, KeepsCreatorPidInForkedChild) {
  RecordingLogger recording;
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  const pid_t child = fork();
  if (child == 0) {
    recording.logger.log(LogLevel::error, "from child");
    const int pid = recording.lines.empty() ? -1 : recording.lines[0].pid;
    _exit(write(channel[1], &pid, sizeof pid) == sizeof pid ? 0 : 1);
  }
  int pid = 0;
  EXPECT_EQ(read(channel[0], &pid, sizeof pid), static_cast<ssize_t>(sizeof pid));
  waitpid(child, nullptr, 0);
  close(channel[0]);
  close(channel[1]);
  EXPECT_EQ(pid, getpid());
}

// Many threads logging through the default sink at once never mix bytes of
// different lines.
TEST(Logger, ConcurrentLinesNeverMix) {
  constexpr int threads = 8;
  constexpr int perThread = 300;
  Logger logger;
  logger.setThreshold(LogLevel::debug);
  std::string text;
  {
    test::StderrCapture capture;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&logger, t] {
        const std::string padding(200, static_cast<char>('a' + t));
        for (int i = 0; i < perThread; ++i) logger.log(LogLevel::warn, "thread ", t, " ", padding);
      });
    }
    for (auto& worker : workers) worker.join();
    text = capture.text();
  }
  std::vector<int> counts(threads);
  std::istringstream lines(text);
  std::string line;
  const std::regex pattern(
      R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}, \d+ \[lvs\] Warn: thread (\d) ([a-h])\2{199})");
  while (std::getline(lines, line)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
    ASSERT_EQ(match[2].str()[0], 'a' + std::stoi(match[1].str()));
    ++counts[std::stoi(match[1].str())];
  }
  EXPECT_EQ(counts, std::vector<int>(threads, perThread));
}

}  // namespace
}  // namespace vostrel
