#include "agent_simulator/agent_simulator.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

namespace vostrel::sim {
namespace {

using Json = nlohmann::ordered_json;  // keeps member order, which the checks need

const std::string kDiscoveryPath = "/com.vostrel.plugin.cpp.discovery";
const std::string kReadyPrefix = "/com.vostrel.plugin.cpp.";
const std::string kTracesPrefix = "/com.vostrel.plugin.cpp/traces.";

const char* reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
  }
}

std::string methodName(evhttp_cmd_type command) {
  switch (command) {
    case EVHTTP_REQ_GET: return "GET";
    case EVHTTP_REQ_POST: return "POST";
    case EVHTTP_REQ_HEAD: return "HEAD";
    case EVHTTP_REQ_PUT: return "PUT";
    case EVHTTP_REQ_DELETE: return "DELETE";
    case EVHTTP_REQ_OPTIONS: return "OPTIONS";
    case EVHTTP_REQ_TRACE: return "TRACE";
    case EVHTTP_REQ_CONNECT: return "CONNECT";
    case EVHTTP_REQ_PATCH: return "PATCH";
  }
  return "UNKNOWN";
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += ",";
    out += item;
  }
  return out;
}

std::vector<std::string> keysOf(const Json& object) {
  std::vector<std::string> keys;
  for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
  return keys;
}

// The sensor writes JSON without any white space; finding some means a
// serializer wrote a fragment it should not have.
std::optional<size_t> whitespaceOutsideStrings(const std::string& text) {
  bool inString = false;
  bool escaped = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      return i;
    }
  }
  return std::nullopt;
}

// Parses text, reporting repeated member names (which a plain parse would
// silently merge) into duplicates.
Json parseChecked(const std::string& text, std::vector<std::string>& duplicates) {
  std::vector<std::set<std::string>> open;
  Json::parser_callback_t callback = [&](int, nlohmann::detail::parse_event_t event, Json& parsed) {
    using Event = nlohmann::detail::parse_event_t;
    if (event == Event::object_start) {
      open.emplace_back();
    } else if (event == Event::object_end) {
      if (!open.empty()) open.pop_back();
    } else if (event == Event::key && !open.empty()) {
      const auto key = parsed.get<std::string>();
      if (!open.back().insert(key).second) duplicates.push_back(key);
    }
    return true;
  };
  return Json::parse(text, callback);
}

bool isInt64(const Json& value) {
  if (!value.is_number_integer()) return false;
  return !value.is_number_unsigned() ||
         value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
}

bool isNonNegativeInt64(const Json& value) { return isInt64(value) && value.get<int64_t>() >= 0; }

bool isObjectOfStrings(const Json& value) {
  if (!value.is_object()) return false;
  return std::all_of(value.begin(), value.end(), [](const Json& v) { return v.is_string(); });
}

bool isDecimalDigits(const std::string& text) {
  return !text.empty() && text.size() <= 19 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class Problems {
 public:
  explicit Problems(std::vector<std::string>& out) : out_(out) {}
  void add(const std::string& where, const std::string& what) { out_.push_back(where + what); }

 private:
  std::vector<std::string>& out_;
};

void checkCustom(const Json& custom, const std::string& at, Problems& problems) {
  if (!custom.is_object()) {
    problems.add(at, "\"custom\" is not an object");
    return;
  }
  auto it = custom.begin();
  if (it == custom.end() || it.key() != "tags") {
    problems.add(at, "\"custom\" does not start with \"tags\"");
    return;
  }
  const Json& tags = it.value();
  if (!tags.is_object()) {
    problems.add(at, "\"tags\" is not an object");
  } else if (tags.contains("http.header") && tags["http.header"].is_object() &&
             !isObjectOfStrings(tags["http.header"])) {
    problems.add(at, "\"http.header\" holds a value that is not a string");
  }
  ++it;
  bool hasContent = tags.is_object() && !tags.empty();
  if (it != custom.end() && it.key() == "logs") {
    const Json& logs = it.value();
    if (!logs.is_object() || logs.empty()) {
      problems.add(at, "\"logs\" is not a non-empty object");
    } else {
      uint64_t previous = 0;
      bool first = true;
      for (auto log = logs.begin(); log != logs.end(); ++log) {
        if (!isDecimalDigits(log.key())) {
          problems.add(at, "log name \"" + log.key() + "\" is not a timestamp in milliseconds");
          continue;
        }
        const uint64_t timestamp = std::stoull(log.key());
        if (!first && timestamp <= previous) {
          problems.add(at, "log " + log.key() + " is out of ascending order");
        }
        if (!log.value().is_object()) problems.add(at, "log " + log.key() + " is not an object");
        previous = timestamp;
        first = false;
      }
    }
    hasContent = true;
    ++it;
  }
  if (it != custom.end() && it.key() == "baggage") {
    if (!isObjectOfStrings(it.value()) || it.value().empty()) {
      problems.add(at, "\"baggage\" is not a non-empty object of strings");
    }
    hasContent = true;
    ++it;
  }
  if (it != custom.end()) {
    problems.add(at, "unexpected member \"" + it.key() + "\" in \"custom\" (members: " +
                         joined(keysOf(custom)) + ")");
  }
  if (!hasContent) problems.add(at, "\"custom\" is present but has no tag, header, log or baggage");
}

void checkData(const Json& data, const std::string& at, Problems& problems) {
  if (!data.is_object()) {
    problems.add(at, "\"data\" is not an object");
    return;
  }
  const auto keys = keysOf(data);
  if (keys != std::vector<std::string>{"sdk"} &&
      keys != std::vector<std::string>{"sdk", "service"}) {
    problems.add(at, "\"data\" members are " + joined(keys) + ", expected sdk[,service]");
  }
  if (data.contains("service") && (!data["service"].is_string() || data["service"].get<std::string>().empty())) {
    problems.add(at, "\"service\" is not a non-empty string");
  }
  if (!data.contains("sdk")) return;
  const Json& sdk = data["sdk"];
  if (!sdk.is_object()) {
    problems.add(at, "\"sdk\" is not an object");
    return;
  }
  const auto sdkKeys = keysOf(sdk);
  if (sdkKeys != std::vector<std::string>{"name"} &&
      sdkKeys != std::vector<std::string>{"name", "custom"}) {
    problems.add(at, "\"sdk\" members are " + joined(sdkKeys) + ", expected name[,custom]");
  }
  if (sdk.contains("name") && !sdk["name"].is_string()) {
    problems.add(at, "\"name\" is not a string");
  }
  if (sdk.contains("custom")) checkCustom(sdk["custom"], at, problems);
}

void checkRecord(const Json& record, const std::string& at, int32_t agentPid,
                 const std::string& agentUuid, Problems& problems) {
  if (!record.is_object()) {
    problems.add(at, "is not an object");
    return;
  }
  const auto keys = keysOf(record);
  size_t pos = 0;
  auto expectKey = [&](const char* key) {
    if (pos < keys.size() && keys[pos] == key) {
      ++pos;
      return true;
    }
    problems.add(at, std::string("expected \"") + key + "\" at member " + std::to_string(pos) +
                         " (members: " + joined(keys) + ")");
    return false;
  };
  if (!expectKey("t")) return;
  if (pos < keys.size() && keys[pos] == "p") ++pos;
  if (!expectKey("s") || !expectKey("ts") || !expectKey("d")) return;
  if (keys.size() < pos + 3 || keys[keys.size() - 3] != "data" || keys[keys.size() - 2] != "n" ||
      keys[keys.size() - 1] != "f") {
    problems.add(at, "does not end with data,n,f (members: " + joined(keys) + ")");
    return;
  }
  static const std::set<std::string> fixed = {"t", "p", "s", "ts", "d", "data", "n", "f"};
  for (size_t i = pos; i + 3 < keys.size(); ++i) {
    const Json& value = record[keys[i]];
    if (fixed.count(keys[i])) {
      problems.add(at, "extra field \"" + keys[i] + "\" clashes with a record member");
    } else if (!value.is_string() && !value.is_boolean()) {
      problems.add(at, "extra field \"" + keys[i] + "\" is neither a string nor a boolean");
    }
  }

  for (const char* id : {"t", "s"}) {
    if (!isInt64(record[id])) problems.add(at, std::string("\"") + id + "\" is not a signed 64-bit integer");
  }
  if (record.contains("p")) {
    if (!isInt64(record["p"])) {
      problems.add(at, "\"p\" is not a signed 64-bit integer");
    } else if (record["p"].get<int64_t>() == 0) {
      problems.add(at, "\"p\" is 0; a root span has no \"p\"");
    }
  }
  for (const char* number : {"ts", "d"}) {
    if (!isNonNegativeInt64(record[number])) {
      problems.add(at, std::string("\"") + number + "\" is not a non-negative integer");
    }
  }
  checkData(record["data"], at, problems);
  if (record["n"] != "sdk") problems.add(at, "\"n\" is " + record["n"].dump() + ", expected \"sdk\"");

  const Json& from = record["f"];
  if (!from.is_object() || keysOf(from) != std::vector<std::string>{"e", "h"}) {
    problems.add(at, "\"f\" is " + from.dump() + ", expected an object with e,h");
    return;
  }
  if (!from["e"].is_number_integer() || from["e"].get<int64_t>() != agentPid) {
    problems.add(at, "\"f\".\"e\" is " + from["e"].dump() + ", expected the agent's pid " +
                         std::to_string(agentPid));
  }
  if (from["h"] != agentUuid) {
    problems.add(at, "\"f\".\"h\" is " + from["h"].dump() + ", expected the agent's uuid " +
                         Json(agentUuid).dump());
  }
}

std::string idText(const nlohmann::json& record, const char* key) {
  if (!record.is_object() || !record.contains(key)) return "-";
  return AgentSimulator::hexId(record[key]);
}

const nlohmann::json* tagsOf(const nlohmann::json& record) {
  try {
    const auto& tags = record.at("data").at("sdk").at("custom").at("tags");
    return tags.is_object() && !tags.empty() ? &tags : nullptr;
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::string operationOf(const nlohmann::json& record) {
  try {
    return record.at("data").at("sdk").at("name").dump();
  } catch (const std::exception&) {
    return "?";
  }
}

std::string durationOf(const nlohmann::json& record) {
  if (record.is_object() && record.contains("d") && record["d"].is_number()) return record["d"].dump() + " ms";
  return "? ms";
}

}  // namespace

struct AgentSimulator::PendingReply {
  AgentSimulator* owner;
  evhttp_request* request;
  Answer answer;
  std::unique_ptr<event, EventDeleter> timer;
};

void AgentSimulator::EventBaseDeleter::operator()(event_base* base) const { event_base_free(base); }
void AgentSimulator::EvhttpDeleter::operator()(evhttp* http) const { evhttp_free(http); }
void AgentSimulator::EventDeleter::operator()(event* ev) const { event_free(ev); }

AgentSimulator::AgentSimulator(SimulatorConfig config)
    : config_(std::move(config)),
      tracesStatus_(config_.tracesStatus),
      readyStatuses_(config_.readyStatuses),
      closeWithoutAnswer_(config_.closeWithoutAnswer) {
  if (!config_.jsonLinesPath.empty()) {
    jsonLines_.open(config_.jsonLinesPath, std::ios::out | std::ios::app);
    if (!jsonLines_.is_open()) throw std::runtime_error("cannot open " + config_.jsonLinesPath);
  }
  base_.reset(event_base_new());
  if (!base_) throw std::runtime_error("event_base_new failed");
  http_.reset(evhttp_new(base_.get()));
  if (!http_) throw std::runtime_error("evhttp_new failed");
  // Every method reaches our handler, so that a wrong one is reported rather
  // than answered by libevent alone.
  evhttp_set_allowed_methods(http_.get(), 0x1ff);
  evhttp_set_default_content_type(http_.get(), nullptr);
  // libevent drops idle connections after 50 s; the sensor keeps one open
  // across its 30 s retry waits, and a test must not race such a drop.
  evhttp_set_timeout(http_.get(), 3600);
  evhttp_set_gencb(http_.get(), &AgentSimulator::onRequestThunk, this);
  evhttp_bound_socket* bound = evhttp_bind_socket_with_handle(http_.get(), config_.host.c_str(), config_.port);
  if (bound == nullptr) {
    throw std::runtime_error("cannot listen on " + config_.host + ":" + std::to_string(config_.port));
  }
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getsockname(evhttp_bound_socket_get_fd(bound), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("getsockname failed");
  }
  port_ = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&address)->sin_port);

  // The destructor wakes the loop through this pipe: libevent's own thread
  // support stays off, as in the library under test.
  if (pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  wakeEvent_.reset(event_new(base_.get(), wakePipe_[0], EV_READ, &AgentSimulator::onWakeThunk, this));
  if (!wakeEvent_ || event_add(wakeEvent_.get(), nullptr) != 0) {
    close(wakePipe_[0]);
    close(wakePipe_[1]);
    throw std::runtime_error("cannot set up the wake event");
  }
  thread_ = std::thread([this] { run(); });
}

AgentSimulator::~AgentSimulator() {
  const char byte = 0;
  while (write(wakePipe_[1], &byte, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  // Unsent replies are handed to libevent, which frees them (and their
  // connections) with the server below.
  for (auto& pending : pending_) {
    pending->timer.reset();
    Answer drop;
    drop.close = true;
    sendAnswer(pending->request, drop);
  }
  pending_.clear();
  wakeEvent_.reset();
  http_.reset();
  base_.reset();
  close(wakePipe_[0]);
  close(wakePipe_[1]);
}

void AgentSimulator::run() noexcept {
  try {
    // A peer that hangs up while we answer must cost an EPIPE, not the process.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    event_base_dispatch(base_.get());
  } catch (const std::exception& e) {
    std::cerr << "agent simulator loop failed: " << e.what() << std::endl;
  }
}

void AgentSimulator::onRequestThunk(evhttp_request* request, void* self) {
  static_cast<AgentSimulator*>(self)->onRequest(request);
}

void AgentSimulator::onWakeThunk(int, short, void* self) {
  event_base_loopbreak(static_cast<AgentSimulator*>(self)->base_.get());
}

void AgentSimulator::onDelayThunk(int, short, void* pending) {
  auto* reply = static_cast<PendingReply*>(pending);
  reply->owner->onDelayElapsed(reply);
}

uint16_t AgentSimulator::port() const { return port_; }

void AgentSimulator::onRequest(evhttp_request* request) noexcept {
  try {
    Request received;
    received.method = methodName(evhttp_request_get_command(request));
    received.path = evhttp_request_get_uri(request);
    const evkeyvalq* headers = evhttp_request_get_input_headers(request);
    for (const evkeyval* header = headers->tqh_first; header != nullptr; header = header->next.tqe_next) {
      received.headers.emplace_back(header->key, header->value);
    }
    evbuffer* input = evhttp_request_get_input_buffer(request);
    received.body.resize(evbuffer_get_length(input));
    if (!received.body.empty()) evbuffer_copyout(input, &received.body[0], received.body.size());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(received);
    }
    changed_.notify_all();

    Answer answer = route(received);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      answer.close = closeWithoutAnswer_;
    }
    if (config_.delay.count() <= 0) {
      sendAnswer(request, answer);
      return;
    }
    auto pending = std::make_unique<PendingReply>();
    pending->owner = this;
    pending->request = request;
    pending->answer = std::move(answer);
    pending->timer.reset(evtimer_new(base_.get(), &AgentSimulator::onDelayThunk, pending.get()));
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(config_.delay).count();
    timeval delay{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
    if (!pending->timer || evtimer_add(pending->timer.get(), &delay) != 0) {
      sendAnswer(request, pending->answer);
      return;
    }
    pending_.push_back(std::move(pending));
  } catch (const std::exception& e) {
    addViolation(std::string("simulator failed to handle a request: ") + e.what());
    evhttp_send_error(request, 500, nullptr);
  }
}

void AgentSimulator::onDelayElapsed(PendingReply* pending) noexcept {
  try {
    sendAnswer(pending->request, pending->answer);
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [pending](const auto& entry) { return entry.get() == pending; }),
                   pending_.end());
  } catch (const std::exception& e) {
    std::cerr << "agent simulator reply failed: " << e.what() << std::endl;
  }
}

void AgentSimulator::sendAnswer(evhttp_request* request, const Answer& answer) {
  if (answer.close) {
    // Shut the socket down first: the reply below then fails locally and
    // libevent frees the request and its connection, while the client sees
    // the connection closed without a byte of answer.
    if (evhttp_connection* connection = evhttp_request_get_connection(request)) {
      const evutil_socket_t fd = bufferevent_getfd(evhttp_connection_get_bufferevent(connection));
      if (fd >= 0) shutdown(fd, SHUT_RDWR);
    }
    evhttp_send_reply(request, 500, "Closed", nullptr);
    return;
  }
  evkeyvalq* output = evhttp_request_get_output_headers(request);
  for (const auto& [name, value] : answer.headers) evhttp_add_header(output, name.c_str(), value.c_str());
  evbuffer* body = evbuffer_new();
  if (body != nullptr) evbuffer_add(body, answer.body.data(), answer.body.size());
  evhttp_send_reply(request, answer.status, reasonPhrase(answer.status), body);
  if (body != nullptr) evbuffer_free(body);
}

AgentSimulator::Answer AgentSimulator::route(const Request& request) {
  const std::string& path = request.path;
  if (path == "/") return answerProbe(request);
  if (path == kDiscoveryPath) return answerAnnounce(request);
  if (path.compare(0, kTracesPrefix.size(), kTracesPrefix) == 0) return answerTraces(request);
  if (path.compare(0, kReadyPrefix.size(), kReadyPrefix) == 0) return answerReadiness(request);
  addViolation("unknown endpoint: " + request.method + " " + path);
  return Answer{404, {}, "", false};
}

AgentSimulator::Answer AgentSimulator::answerProbe(const Request& request) {
  if (request.method != "GET") {
    addViolation("probe with method " + request.method + ", expected GET /");
    return Answer{405, {}, "", false};
  }
  Answer answer{config_.probeStatus, {}, "", false};
  if (!config_.serverHeader.empty()) answer.headers.emplace_back("Server", config_.serverHeader);
  return answer;
}

AgentSimulator::Answer AgentSimulator::answerAnnounce(const Request& request) {
  if (request.method != "PUT") {
    addViolation("announce with method " + request.method + ", expected PUT " + kDiscoveryPath);
    return Answer{405, {}, "", false};
  }
  checkAnnounceBody(request.body);
  announced_ = true;
  Answer answer{config_.announceStatus, {{"Content-Type", "application/json"}}, "", false};
  answer.body = config_.announceBody.empty() ? discoveryResponse() : config_.announceBody;
  return answer;
}

AgentSimulator::Answer AgentSimulator::answerReadiness(const Request& request) {
  const std::string expected = kReadyPrefix + std::to_string(config_.agentPid);
  if (request.path != expected) {
    addViolation("readiness check for " + request.path + ", but the agent's path is " + expected);
    return Answer{404, {}, "", false};
  }
  if (request.method != "HEAD") {
    addViolation("readiness check with method " + request.method + ", expected HEAD");
    return Answer{405, {}, "", false};
  }
  if (!announced_) addViolation("readiness check before any announce");
  int status = 200;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!readyStatuses_.empty()) {
      status = readyStatuses_[std::min(readyIndex_, readyStatuses_.size() - 1)];
      ++readyIndex_;
    }
  }
  return Answer{status, {}, "", false};
}

AgentSimulator::Answer AgentSimulator::answerTraces(const Request& request) {
  const std::string expected = kTracesPrefix + std::to_string(config_.agentPid);
  if (request.path != expected) {
    addViolation("spans posted to " + request.path + ", but the agent's path is " + expected);
    return Answer{404, {}, "", false};
  }
  if (request.method != "POST") {
    addViolation("traces request with method " + request.method + ", expected POST");
    return Answer{405, {}, "", false};
  }
  if (!announced_) addViolation("spans posted before any announce");
  std::vector<std::string> types;
  for (const auto& [name, value] : request.headers) {
    if (strcasecmp(name.c_str(), "Content-Type") == 0) types.push_back(value);
  }
  if (types != std::vector<std::string>{"application/json"}) {
    addViolation("traces request Content-Type is [" + joined(types) + "], expected application/json");
  }
  storeBatch(request.body);
  std::lock_guard<std::mutex> lock(mutex_);
  return Answer{tracesStatus_, {}, "", false};
}

void AgentSimulator::checkAnnounceBody(const std::string& body) {
  std::vector<std::string> found;
  Problems problems(found);
  const std::string at = "announce: ";
  std::vector<std::string> duplicates;
  Json announce;
  try {
    announce = parseChecked(body, duplicates);
  } catch (const std::exception& e) {
    addViolation(at + "body is not valid JSON (" + e.what() + "): " + body);
    return;
  }
  if (auto offset = whitespaceOutsideStrings(body)) {
    problems.add(at, "white space at offset " + std::to_string(*offset));
  }
  for (const auto& key : duplicates) problems.add(at, "member \"" + key + "\" repeats");
  if (!announce.is_object()) {
    problems.add(at, "body is not a JSON object");
  } else {
    std::vector<std::string> expected = {"pid", "pidFromParentNS"};
    if (announce.contains("cpuSetFileContent")) expected.push_back("cpuSetFileContent");
    expected.insert(expected.end(), {"fd", "inode", "name", "args"});
    const auto keys = keysOf(announce);
    if (keys != expected) problems.add(at, "members are " + joined(keys) + ", expected " + joined(expected));
    auto has = [&](const char* key) { return announce.contains(key); };
    if (has("pid") && !(isInt64(announce["pid"]) && announce["pid"].get<int64_t>() > 0 &&
                        announce["pid"].get<int64_t>() <= std::numeric_limits<int32_t>::max())) {
      problems.add(at, "\"pid\" is " + announce["pid"].dump() + ", expected a positive process id");
    }
    if (has("pidFromParentNS") && announce["pidFromParentNS"] != "true" && announce["pidFromParentNS"] != "false") {
      problems.add(at, "\"pidFromParentNS\" is " + announce["pidFromParentNS"].dump() +
                           ", expected the string \"true\" or \"false\"");
    }
    if (has("cpuSetFileContent") && (!announce["cpuSetFileContent"].is_string() ||
                                     announce["cpuSetFileContent"].get<std::string>().empty())) {
      problems.add(at, "\"cpuSetFileContent\" is not a non-empty string");
    }
    if (has("fd") && !(isInt64(announce["fd"]) && announce["fd"].get<int64_t>() >= -1 &&
                       announce["fd"].get<int64_t>() <= std::numeric_limits<int32_t>::max())) {
      problems.add(at, "\"fd\" is " + announce["fd"].dump() + ", expected a descriptor or -1");
    }
    for (const char* key : {"inode", "name"}) {
      if (has(key) && !announce[key].is_string()) problems.add(at, std::string("\"") + key + "\" is not a string");
    }
    if (has("args") && !(announce["args"].is_array() &&
                         std::all_of(announce["args"].begin(), announce["args"].end(),
                                     [](const Json& arg) { return arg.is_string(); }))) {
      problems.add(at, "\"args\" is not an array of strings");
    }
  }
  for (auto& problem : found) addViolation(std::move(problem));
}

void AgentSimulator::storeBatch(const std::string& body) {
  std::vector<std::string> found;
  Problems problems(found);
  std::vector<std::string> duplicates;
  Json batch;
  try {
    batch = parseChecked(body, duplicates);
  } catch (const std::exception& e) {
    addViolation("traces: body is not valid JSON (" + std::string(e.what()) + "): " + body.substr(0, 2000));
    return;
  }
  if (auto offset = whitespaceOutsideStrings(body)) {
    problems.add("traces: ", "white space at offset " + std::to_string(*offset));
  }
  for (const auto& key : duplicates) problems.add("traces: ", "member \"" + key + "\" repeats in a span record");
  std::vector<nlohmann::json> records;
  if (!batch.is_array()) {
    problems.add("traces: ", "body is not a JSON array");
  } else if (batch.empty()) {
    problems.add("traces: ", "empty batch");
  } else {
    for (size_t i = 0; i < batch.size(); ++i) {
      checkRecord(batch[i], "traces: span " + std::to_string(i) + " of the batch: ", config_.agentPid,
                  config_.agentUuid, problems);
      if (batch[i].is_object()) records.push_back(nlohmann::json::parse(batch[i].dump()));
    }
  }
  for (auto& problem : found) addViolation(std::move(problem));

  if (config_.printSpans) {
    for (const auto& record : records) std::cout << formatSpanLine(record) << '\n';
    std::cout.flush();
  }
  if (jsonLines_.is_open()) {
    for (const auto& record : records) jsonLines_ << record.dump() << '\n';
    jsonLines_.flush();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    spans_.insert(spans_.end(), records.begin(), records.end());
  }
  changed_.notify_all();
}

std::string AgentSimulator::discoveryResponse() const {
  Json response;
  response["pid"] = config_.agentPid;
  response["agentUuid"] = config_.agentUuid;
  if (!config_.extraHeaders.empty()) response["extraHeaders"] = config_.extraHeaders;
  if (config_.secrets) {
    response["secrets"]["matcher"] = config_.secrets->matcher;
    response["secrets"]["list"] = config_.secrets->list;
  }
  return response.dump();
}

void AgentSimulator::addViolation(std::string text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    violations_.push_back(std::move(text));
  }
  changed_.notify_all();
}

std::vector<nlohmann::json> AgentSimulator::spans() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return spans_;
}

std::vector<Request> AgentSimulator::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> AgentSimulator::violations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return violations_;
}

size_t AgentSimulator::countRequests(const std::string& method, const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::count_if(requests_.begin(), requests_.end(),
                       [&](const Request& r) { return r.method == method && r.path == path; });
}

bool AgentSimulator::waitForSpans(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return spans_.size() >= count; });
}

bool AgentSimulator::waitForRequests(const std::string& method, const std::string& path, size_t count,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return static_cast<size_t>(std::count_if(requests_.begin(), requests_.end(), [&](const Request& r) {
             return r.method == method && r.path == path;
           })) >= count;
  });
}

void AgentSimulator::setTracesStatus(int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  tracesStatus_ = status;
}

void AgentSimulator::setReadyStatuses(std::vector<int> statuses) {
  std::lock_guard<std::mutex> lock(mutex_);
  readyStatuses_ = std::move(statuses);
  readyIndex_ = 0;
}

void AgentSimulator::setCloseWithoutAnswer(bool close) {
  std::lock_guard<std::mutex> lock(mutex_);
  closeWithoutAnswer_ = close;
}

std::string AgentSimulator::hexId(const nlohmann::json& id) {
  if (!id.is_number_integer()) return "?";
  char text[17];
  std::snprintf(text, sizeof(text), "%016" PRIx64, id.get<uint64_t>());
  return text;
}

std::string AgentSimulator::formatSpanLine(const nlohmann::json& record) {
  std::string line = "trace=" + idText(record, "t") + " span=" + idText(record, "s") +
                     " parent=" + idText(record, "p") + " op=" + operationOf(record) +
                     " duration=" + durationOf(record);
  if (const auto* tags = tagsOf(record)) line += " tags=" + tags->dump();
  return line;
}

std::string AgentSimulator::traceTrees() const {
  const auto records = spans();
  std::vector<std::string> traceOrder;
  std::map<std::string, std::vector<size_t>> byTrace;
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string trace = idText(records[i], "t");
    auto& members = byTrace[trace];
    if (members.empty()) traceOrder.push_back(trace);
    members.push_back(i);
  }
  auto startOf = [&](size_t i) {
    const auto& r = records[i];
    return r.contains("ts") && r["ts"].is_number_integer() ? r["ts"].get<int64_t>() : 0;
  };

  std::ostringstream out;
  for (const auto& trace : traceOrder) {
    auto members = byTrace[trace];
    std::stable_sort(members.begin(), members.end(), [&](size_t a, size_t b) { return startOf(a) < startOf(b); });
    std::set<std::string> ids;
    for (size_t i : members) ids.insert(idText(records[i], "s"));
    std::map<std::string, std::vector<size_t>> children;
    std::vector<size_t> roots;
    for (size_t i : members) {
      const std::string parent = idText(records[i], "p");
      if (parent != "-" && ids.count(parent)) {
        children[parent].push_back(i);
      } else {
        roots.push_back(i);
      }
    }
    out << "trace " << trace << " (" << members.size() << (members.size() == 1 ? " span)\n" : " spans)\n");
    std::set<size_t> shown;
    // Explicit stack: a trace can be deep, and repeated span ids must not loop.
    auto render = [&](size_t root, const char* note) {
      std::vector<std::pair<size_t, size_t>> stack = {{root, 1}};
      while (!stack.empty()) {
        const auto [i, depth] = stack.back();
        stack.pop_back();
        if (!shown.insert(i).second) continue;
        const auto& r = records[i];
        out << std::string(depth * 2, ' ') << operationOf(r) << " [" << idText(r, "s") << "] " << durationOf(r);
        if (const auto* tags = tagsOf(r)) out << ' ' << tags->dump();
        if (depth == 1 && note != nullptr) out << note;
        if (depth == 1 && note == nullptr && idText(r, "p") != "-") {
          out << " (parent " << idText(r, "p") << " not received)";
        }
        out << '\n';
        const auto found = children.find(idText(r, "s"));
        if (found == children.end()) continue;
        for (auto child = found->second.rbegin(); child != found->second.rend(); ++child) {
          if (!shown.count(*child)) stack.emplace_back(*child, depth + 1);
        }
      }
    };
    for (size_t root : roots) render(root, nullptr);
    for (size_t i : members) {
      if (!shown.count(i)) render(i, " (in a parent cycle)");
    }
  }
  return out.str();
}

}  // namespace vostrel::sim
