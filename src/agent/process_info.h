#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reporting/byte_buffer.h"

namespace vostrel {

// What the announce tells the agent about this process.
struct DiscoveryRequest {
  int32_t pid = 0;      // id as the parent PID namespace sees it, or the own id
  int32_t ownPid = 0;   // getpid()
  std::string cpuSet;   // first line of the cpuset file; left out when empty
  int32_t fd = -1;      // socket of the agent connection, -1 when none
  std::string inode;    // target of that descriptor's /proc link, or empty
  std::vector<std::string> args;  // never empty when written
};

// Reads the process's values afresh and appends the discovery request JSON
// to buffer. Throws std::runtime_error when the command line cannot be
// obtained ("failed to obtain command line arguments", or the failure of the
// ps fallback); nothing is appended then. Loop thread (blocks on ps).
void writeDiscoveryRequest(ByteBuffer& buffer, int32_t fd);

// Appends the JSON object for request; throws std::runtime_error when
// request.args is empty, before appending anything.
template <class Out>
void writeDiscoveryBody(Out& out, const DiscoveryRequest& request);

// The id after the last "(" of a scheduler-file first line such as
// "nginx (4711, #threads: 1)"; 0 when there is none or it is not a valid
// non-negative 32-bit number.
int32_t parseParentNamespacePid(const std::string& line);
int32_t readParentNamespacePid(int32_t pid);

// First line of /proc/<pid>/cpuset, empty when it cannot be read.
std::string readCpuSet(int32_t pid);
// Target of /proc/<pid>/fd/<fd>, empty on any failure.
std::string readSocketInode(int32_t pid, int32_t fd);
// Throws std::runtime_error "readlink failed: <strerror>". Targets longer
// than 256 bytes are cut.
std::string readLink(const std::string& path);

// The NUL-separated elements of a cmdline file; an empty element between two
// NULs is kept, and so is a last element without its NUL.
std::vector<std::string> parseCmdline(const std::string& bytes);
// Fills list from /proc/<pid>/cmdline; false when the file cannot be opened.
bool readProcCmdline(std::vector<std::string>& list);
// The command line as one element from the output of
// "ps -ww -p <pid> -o command": the text after the header line without the
// trailing line feed. Throws "no output from <command>" or
// "Unexpected output from <command>: <output>".
std::vector<std::string> parsePsOutput(const std::string& command, const std::string& output);
std::vector<std::string> readPsCommand();
// The cmdline file's elements when it can be opened (possibly none), else
// the ps fallback.
std::vector<std::string> readCommandLine();
// The whole standard output of command run through the shell. Throws
// std::runtime_error when it cannot be started, read or exits non-zero.
std::string runCommand(const std::string& command);

}  // namespace vostrel
