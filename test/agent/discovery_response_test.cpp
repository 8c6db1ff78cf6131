#include "agent/discovery_response.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/json_reader.h"

namespace vostrel {
namespace {

// Parses with a logger that keeps its lines as "<level> <message>".
struct Parser {
  Logger logger;
  std::vector<std::string> lines;
  Parser() {
    logger.setThreshold(LogLevel::debug);
    logger.setSink([this](LogLevel level, int, opentracing::string_view message) {
      lines.push_back(std::to_string(static_cast<int>(level)) + " " +
                      std::string(message.data(), message.size()));
    });
  }
  DiscoveryResponse parse(const std::string& text) {
    return parseDiscoveryResponse(logger, text.data(), text.size());
  }
};

// The known members are read, with blanks around every token, and no
// secrets member means no filter.
TEST(DiscoveryResponse, ReadsMembers) {
  Parser parser;
  const DiscoveryResponse response = parser.parse(
      " {\n \"pid\" : 4711 ,\t\"agentUuid\":\"00:11:22\", \"extraHeaders\" : [ \"X-A\", \"x-b\" ] }");
  EXPECT_EQ(response.pid, 4711);
  EXPECT_EQ(response.agentUuid, "00:11:22");
  EXPECT_EQ(response.extraHeaders, (std::vector<std::string>{"X-A", "x-b"}));
  EXPECT_EQ(response.secrets, nullptr);
  EXPECT_TRUE(parser.lines.empty());
}

// Later occurrences win, pid keeps its low 32 bits, and text after the
// closing brace is ignored.
TEST(DiscoveryResponse, LastOccurrenceWins) {
  Parser parser;
  const DiscoveryResponse response = parser.parse(
      R"({"pid":2,"agentUuid":"a","extraHeaders":["X"],"pid":4294967297,"agentUuid":"b",)"
      R"("extraHeaders":[]} trailing {)");
  EXPECT_EQ(response.pid, 1);
  EXPECT_EQ(response.agentUuid, "b");
  EXPECT_TRUE(response.extraHeaders.empty());
}

// A secrets object becomes the filter of its matcher and list, blanks after
// its commas included.
TEST(DiscoveryResponse, BuildsSecretFilter) {
  Parser parser;
  const DiscoveryResponse response =
      parser.parse(R"({"pid":7, "secrets" : { "matcher" : "equals", "list" : ["token", "pin"] } })");
  ASSERT_NE(response.secrets, nullptr);
  EXPECT_EQ(response.secrets->mode(), MatcherMode::equals);
  EXPECT_EQ(response.secrets->list(), (std::vector<std::string>{"token", "pin"}));
  EXPECT_TRUE(response.secrets->matches("pin", 3));
  EXPECT_FALSE(response.secrets->matches("Token", 5));
  EXPECT_EQ(response.pid, 7);
  EXPECT_TRUE(parser.lines.empty());
}

// Unknown members of the response and of the secrets object are skipped,
// nested values with "}" and escaped quotes included, each with one warn line.
TEST(DiscoveryResponse, SkipsUnknownMembersWithWarning) {
  Parser parser;
  const DiscoveryResponse response = parser.parse(
      R"({"tracing":{"a":"}\"","b":[1,{"c":"]"}]},"pid":5,"flag":true,)"
      R"("secrets":{"matcher":"contains","mode":{"x":"}"},"list":["key"]},"n":-1.5e3})");
  EXPECT_EQ(response.pid, 5);
  ASSERT_NE(response.secrets, nullptr);
  EXPECT_EQ(response.secrets->mode(), MatcherMode::contains);
  EXPECT_EQ(parser.lines, (std::vector<std::string>{"3 ignoring discovery response field tracing",
                                                     "3 ignoring discovery response field flag",
                                                     "3 ignoring unknown filters field mode",
                                                     "3 ignoring discovery response field n"}));
}

// A secrets object the filter cannot be built from is logged and leaves no
// filter, while the response stays valid; the last secrets member decides.
TEST(DiscoveryResponse, UnusableSecretsLeaveNoFilter) {
  struct Case {
    std::string secrets;
    std::string logged;  // prefix of the error line, empty for none
    bool filter;
  };
  for (const Case& c : std::vector<Case>{
           {R"("secrets":{"list":["key"]})", "4 failed to construct SecretFilter: Invalid matcher mode ",
            false},
           {R"("secrets":{"matcher":"Contains","list":[]})",
            "4 failed to construct SecretFilter: Invalid matcher mode Contains", false},
           {R"("secrets":{"matcher":"regex","list":["("]})",
            "4 failed to construct SecretFilter: Invalid regex (: ", false},
           {R"("secrets":{"matcher":"equals","list":[]},"secrets":{"matcher":"bad","list":[]})",
            "4 failed to construct SecretFilter: Invalid matcher mode bad", false},
           {R"("secrets":{"matcher":"bad","list":[]},"secrets":{"matcher":"equals","list":[]})",
            "4 failed to construct SecretFilter: Invalid matcher mode bad", true},
       }) {
    SCOPED_TRACE(c.secrets);
    Parser parser;
    const DiscoveryResponse response = parser.parse("{\"pid\":3," + c.secrets + "}");
    EXPECT_EQ(response.pid, 3);
    EXPECT_EQ(response.secrets != nullptr, c.filter);
    ASSERT_EQ(parser.lines.size(), 1u);
    EXPECT_EQ(parser.lines[0].substr(0, c.logged.size()), c.logged);
  }
}

// Every malformed answer gives a plain runtime error carrying the whole
// answer, not the reader's message.
TEST(DiscoveryResponse, RejectsMalformedAnswers) {
  for (const std::string text : {"", "   ", "[]", "{}", "{ }", R"({"pid":"4711"})", "{pid:1}",
                                 R"({"pid":1)", R"({"pid":1 x)", R"({"pid":1,})", R"({"pid" 1})",
                                 R"({"pid":99999999999999999999})", R"({"agentUuid":"x})",
                                 R"({"agentUuid":"x\)", R"({"extraHeaders":["a",]})",
                                 R"({"extraHeaders":[1]})", R"({"extraHeaders":"a"})",
                                 R"({"secrets":{}})", R"({"secrets":[]})",
                                 R"({"secrets":{"list":["a"] x}})", R"({"secrets":{"list":["a"])",
                                 R"({"other":[1,2})", R"({"other":{"a":1]})"}) {
    SCOPED_TRACE(text);
    Parser parser;
    try {
      parser.parse(text);
      ADD_FAILURE() << "accepted";
    } catch (const ParseError& e) {
      ADD_FAILURE() << "reader error escaped: " << e.what();
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "Invalid discovery response: " + text);
    }
  }
}

// The parser reads only the given bytes: a body that is not zero-terminated
// and is followed by more digits is still read to its end only.
TEST(DiscoveryResponse, ReadsOnlyTheGivenBytes) {
  const std::string buffer = R"({"pid":12})" "345";
  Parser parser;
  EXPECT_EQ(parseDiscoveryResponse(parser.logger, buffer.data(), 10).pid, 12);
  const std::string cut = R"({"pid":12345})";
  try {
    parseDiscoveryResponse(parser.logger, cut.data(), 10);
    ADD_FAILURE() << "accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Invalid discovery response: {\"pid\":123");
  }
}

// Every prefix and many byte mutations of a full answer, each in a heap
// block of exactly its size, either parse or fail with the runtime error:
// the parser never reads outside the body (the sanitizer builds check).
TEST(DiscoveryResponse, SurvivesTruncatedAndMutatedAnswers) {
  const std::string full =
      R"({"pid":4711,"agentUuid":"u\"\u0041","extraHeaders":["X-A","X-B"],"x":{"y":["}",1]},)"
      R"("secrets":{"matcher":"contains-ignore-case","list":["key","pass"]}})";
  const std::string bytes = "{}[]\",:\\u0 9-x";
  std::mt19937 random(42);
  std::vector<std::string> inputs;
  for (size_t length = 0; length <= full.size(); ++length) inputs.push_back(full.substr(0, length));
  for (int i = 0; i < 3000; ++i) {
    std::string mutated = full;
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
      mutated[random() % mutated.size()] = bytes[random() % bytes.size()];
    }
    inputs.push_back(mutated.substr(0, random() % (mutated.size() + 1)));
  }
  Logger logger;
  logger.setThreshold(LogLevel::off);
  for (const std::string& input : inputs) {
    std::unique_ptr<char[]> body(new char[input.size()]);
    std::memcpy(body.get(), input.data(), input.size());
    try {
      parseDiscoveryResponse(logger, body.get(), input.size());
    } catch (const std::runtime_error& e) {
      ASSERT_EQ(std::string(e.what()), "Invalid discovery response: " + input);
    }
  }
}

}  // namespace
}  // namespace vostrel
