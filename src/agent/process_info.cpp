#include "agent/process_info.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>

#include "reporting/json_writer.h"

namespace vostrel {

namespace {

std::string procPath(int32_t pid, const char* file) { return "/proc/" + std::to_string(pid) + file; }

std::string readFirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return {};
  return line;
}

struct PipeCloser {
  void operator()(FILE* pipe) const noexcept { pclose(pipe); }
};

}  // namespace

template <class Out>
void writeDiscoveryBody(Out& out, const DiscoveryRequest& request) {
  if (request.args.empty()) throw std::runtime_error("failed to obtain command line arguments");
  appendRaw(out, "{\"pid\":");
  appendDecimal(out, request.pid);
  appendRaw(out, ",\"pidFromParentNS\":");
  appendRaw(out, request.pid != request.ownPid ? opentracing::string_view("\"true\"")
                                               : opentracing::string_view("\"false\""));
  if (!request.cpuSet.empty()) {
    appendRaw(out, ",\"cpuSetFileContent\":");
    appendJsonString(out, request.cpuSet);
  }
  appendRaw(out, ",\"fd\":");
  appendDecimal(out, request.fd);
  appendRaw(out, ",\"inode\":");
  appendJsonString(out, request.inode);
  appendRaw(out, ",\"name\":");
  appendJsonString(out, request.args.front());
  appendRaw(out, ",\"args\":[");
  for (std::size_t i = 1; i < request.args.size(); ++i) {
    if (i > 1) appendRaw(out, ",");
    appendJsonString(out, request.args[i]);
  }
  appendRaw(out, "]}");
}

template void writeDiscoveryBody<ByteBuffer>(ByteBuffer&, const DiscoveryRequest&);
template void writeDiscoveryBody<std::string>(std::string&, const DiscoveryRequest&);

void writeDiscoveryRequest(ByteBuffer& buffer, int32_t fd) {
  DiscoveryRequest request;
  request.ownPid = static_cast<int32_t>(getpid());
  request.fd = fd;
  request.inode = readSocketInode(request.ownPid, fd);
  const int32_t parentPid = readParentNamespacePid(request.ownPid);
  request.pid = parentPid != 0 ? parentPid : request.ownPid;
  request.cpuSet = readCpuSet(request.ownPid);
  request.args = readCommandLine();
  // Written in one piece so that a failure leaves no half body behind.
  std::string body;
  writeDiscoveryBody(body, request);
  buffer.append(body);
}

int32_t parseParentNamespacePid(const std::string& line) {
  // The command name comes first and may itself contain "(" or ",": the id
  // follows the last "(".
  const std::size_t open = line.rfind('(');
  if (open == std::string::npos) return 0;
  const std::size_t comma = line.find(',', open);
  if (comma == std::string::npos) return 0;
  const std::string number = line.substr(open + 1, comma - open - 1);
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(number.c_str(), &end, 10);
  if (end == number.c_str() || errno == ERANGE) return 0;
  if (value < 0 || value > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int32_t>(value);
}

int32_t readParentNamespacePid(int32_t pid) { return parseParentNamespacePid(readFirstLine(procPath(pid, "/sched"))); }

std::string readCpuSet(int32_t pid) { return readFirstLine(procPath(pid, "/cpuset")); }

std::string readSocketInode(int32_t pid, int32_t fd) {
  try {
    return readLink(procPath(pid, "/fd/") + std::to_string(fd));
  } catch (const std::exception&) {
    return {};
  }
}

std::string readLink(const std::string& path) {
  char target[256];
  const ssize_t length = readlink(path.c_str(), target, sizeof(target));
  if (length < 0) throw std::runtime_error(std::string("readlink failed: ") + std::strerror(errno));
  return std::string(target, static_cast<std::size_t>(length));
}

std::vector<std::string> parseCmdline(const std::string& bytes) {
  std::vector<std::string> list;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    list.emplace_back(bytes, start, end - start);
    start = end + 1;
  }
  return list;
}

bool readProcCmdline(std::vector<std::string>& list) {
  std::ifstream file(procPath(static_cast<int32_t>(getpid()), "/cmdline"), std::ios::binary);
  if (!file) return false;
  std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  list = parseCmdline(bytes);
  return true;
}

std::vector<std::string> parsePsOutput(const std::string& command, const std::string& output) {
  if (output.empty()) throw std::runtime_error("no output from " + command);
  const std::size_t lineEnd = output.find('\n');
  if (lineEnd == std::string::npos || lineEnd + 1 >= output.size()) {
    throw std::runtime_error("Unexpected output from " + command + ": " + output);
  }
  std::size_t end = output.size();
  if (output[end - 1] == '\n') --end;
  return {output.substr(lineEnd + 1, end - (lineEnd + 1))};
}

std::vector<std::string> readPsCommand() {
  const std::string command = "ps -ww -p " + std::to_string(getpid()) + " -o command";
  return parsePsOutput(command, runCommand(command));
}

std::vector<std::string> readCommandLine() {
  std::vector<std::string> list;
  if (readProcCmdline(list)) return list;
  return readPsCommand();
}

std::string runCommand(const std::string& command) {
  std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
  if (!pipe) throw std::runtime_error("failed to execute \"" + command + "\": " + std::strerror(errno));
  std::string output;
  char chunk[128];
  std::size_t got;
  do {
    got = std::fread(chunk, 1, sizeof(chunk), pipe.get());
    output.append(chunk, got);
  } while (got == sizeof(chunk));
  if (std::ferror(pipe.get())) {
    throw std::runtime_error("failed to read output from \"" + command + "\": " + std::strerror(errno));
  }
  const int status = pclose(pipe.release());
  if (status != 0) {
    throw std::runtime_error("failed to execute \"" + command + "\": returned " + std::to_string(status));
  }
  return output;
}

}  // namespace vostrel
