// agent-simulator: plays the monitoring agent on a local port, prints the
// spans it receives and reports every protocol violation it sees.

#include "agent_simulator/agent_simulator.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const kUsage = R"(Usage: agent-simulator [OPTION]...
Plays the monitoring agent for the sensor on a local port: answers the probe,
the announce, the readiness checks and the span batches, prints each span it
receives and reports every request that does not follow the protocol.

Listening:
  --host ADDRESS          address to listen on (default 127.0.0.1)
  --port N                port to listen on; 0 picks a free one (default 42699,
                          the port the sensor looks at unless configured)
  --port-file FILE        write the bound port to FILE once listening

Answers:
  --server-header TEXT    Server header of the probe answer (default "Vostrel Agent")
  --no-server-header      answer the probe without a Server header
  --probe-status N        status of the probe answer (default 200)
  --announce-status N     status of the announce answer (default 200)
  --announce-body TEXT    answer the announce with exactly TEXT
  --pid N                 agent pid in the announce answer and the paths (default 4711)
  --uuid TEXT             agent uuid in the announce answer (default sim-agent-0001)
  --extra-header NAME     add NAME to "extraHeaders" of the announce answer (repeatable)
  --secrets MATCHER:a,b   "secrets" of the announce answer: matcher and list
  --ready N[,N...]        successive readiness answers; the last repeats (default 200)
  --traces-status N       status of the span batch answers (default 200)

Faults:
  --delay-ms N            answer every request N milliseconds late
  --close                 close every connection instead of answering

Output and exit:
  --jsonl FILE            append each received span to FILE as one JSON line
  --quiet                 do not print each span as it arrives
  --expect N              exit once N spans have arrived
  --timeout S             exit after S seconds (default 30 with --expect)
  --help                  show this text

On exit (--expect reached, timeout, SIGINT or SIGTERM) it prints the received
spans as trees per trace and the line "received N spans". Violations go to
standard error as they are found. The exit status is 0 when no violation was
seen and, with --expect, N spans arrived; 1 otherwise; 2 for a usage error.
)";

struct Options {
  vostrel::sim::SimulatorConfig config;
  std::string portFile;
  std::optional<size_t> expect;
  std::optional<double> timeoutSeconds;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

long parseNumber(const std::string& option, const std::string& text, long low, long high) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
    throw UsageError(option + ": '" + text + "' is not a number from " + std::to_string(low) + " to " +
                     std::to_string(high));
  }
  return value;
}

int parseStatus(const std::string& option, const std::string& text) {
  return static_cast<int>(parseNumber(option, text, 100, 599));
}

std::vector<std::string> splitCommas(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) items.push_back(item);
  if (!text.empty() && text.back() == ',') items.emplace_back();
  return items;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  auto& config = options.config;
  config.printSpans = true;
  config.port = 42699;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(option + " needs a value");
      return argv[++i];
    };
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (option == "--host") {
      config.host = value();
    } else if (option == "--port") {
      config.port = static_cast<uint16_t>(parseNumber(option, value(), 0, 65535));
    } else if (option == "--port-file") {
      options.portFile = value();
    } else if (option == "--server-header") {
      config.serverHeader = value();
    } else if (option == "--no-server-header") {
      config.serverHeader.clear();
    } else if (option == "--probe-status") {
      config.probeStatus = parseStatus(option, value());
    } else if (option == "--announce-status") {
      config.announceStatus = parseStatus(option, value());
    } else if (option == "--announce-body") {
      config.announceBody = value();
    } else if (option == "--pid") {
      config.agentPid = static_cast<int32_t>(parseNumber(option, value(), 0, INT32_MAX));
    } else if (option == "--uuid") {
      config.agentUuid = value();
    } else if (option == "--extra-header") {
      config.extraHeaders.push_back(value());
    } else if (option == "--secrets") {
      const std::string text = value();
      const auto colon = text.find(':');
      if (colon == std::string::npos) throw UsageError("--secrets: expected MATCHER:a,b,c");
      config.secrets = vostrel::sim::Secrets{text.substr(0, colon), splitCommas(text.substr(colon + 1))};
    } else if (option == "--ready") {
      config.readyStatuses.clear();
      for (const auto& status : splitCommas(value())) config.readyStatuses.push_back(parseStatus(option, status));
      if (config.readyStatuses.empty()) throw UsageError("--ready needs at least one status");
    } else if (option == "--traces-status") {
      config.tracesStatus = parseStatus(option, value());
    } else if (option == "--delay-ms") {
      config.delay = std::chrono::milliseconds(parseNumber(option, value(), 0, 3600 * 1000));
    } else if (option == "--close") {
      config.closeWithoutAnswer = true;
    } else if (option == "--jsonl") {
      config.jsonLinesPath = value();
    } else if (option == "--quiet") {
      config.printSpans = false;
    } else if (option == "--expect") {
      options.expect = static_cast<size_t>(parseNumber(option, value(), 0, 1L << 40));
    } else if (option == "--timeout") {
      const std::string text = value();
      char* end = nullptr;
      const double seconds = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(seconds >= 0)) throw UsageError("--timeout: '" + text + "' is not a duration in seconds");
      options.timeoutSeconds = seconds;
    } else {
      throw UsageError("unknown option " + option);
    }
  }
  if (options.expect && !options.timeoutSeconds) options.timeoutSeconds = 30;
  return options;
}

// Scripts poll for the file, so it must appear complete or not at all.
void writePortFile(const std::string& path, uint16_t port) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << port << '\n';
    if (!out.flush()) throw std::runtime_error("cannot write " + temporary);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = parseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << "agent-simulator: " << e.what() << "\nTry 'agent-simulator --help'.\n";
    return 2;
  }

  // Blocked before the loop thread starts, so only sigtimedwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    auto simulator = std::make_unique<vostrel::sim::AgentSimulator>(options.config);
    std::cerr << "agent-simulator listening on " << options.config.host << ":" << simulator->port() << std::endl;
    if (!options.portFile.empty()) writePortFile(options.portFile, simulator->port());

    const auto deadline = options.timeoutSeconds
                              ? std::optional(std::chrono::steady_clock::now() +
                                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(*options.timeoutSeconds)))
                              : std::nullopt;
    size_t violationsShown = 0;
    auto showViolations = [&] {
      const auto violations = simulator->violations();
      for (; violationsShown < violations.size(); ++violationsShown) {
        std::cerr << "violation: " << violations[violationsShown] << std::endl;
      }
    };
    while (true) {
      showViolations();
      if (options.expect && simulator->spans().size() >= *options.expect) break;
      if (deadline && std::chrono::steady_clock::now() >= *deadline) break;
      const timespec tick{0, 100 * 1000 * 1000};
      const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
      if (signal == SIGINT || signal == SIGTERM) break;
    }

    const std::string trees = simulator->traceTrees();
    const size_t received = simulator->spans().size();
    showViolations();
    simulator.reset();
    std::cout << trees << "received " << received << " spans" << std::endl;
    const bool enough = !options.expect || received >= *options.expect;
    if (violationsShown > 0) std::cerr << violationsShown << " protocol violations" << std::endl;
    return enough && violationsShown == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "agent-simulator: " << e.what() << std::endl;
    return 1;
  }
}
