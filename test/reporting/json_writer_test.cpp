#include "reporting/json_writer.h"

#include <gtest/gtest.h>

namespace vostrel {
namespace {

// Escaping turns every byte outside printable ASCII into its own escape.
TEST(JsonWriter, EscapesStringsByteByByte) {
  std::string out;
  appendJsonString(out, std::string("a\"\\/\x1f\x7f\xc3\xa9\n"));
  EXPECT_EQ(out, "\"a\\\"\\\\/\\u001F\\u007F\\u00C3\\u00A9\\n\"");
}

}  // namespace
}  // namespace vostrel
