#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vostrel {

// The reader's only exception: every syntax error, and an integer out of the
// 64-bit range.
class ParseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A small pull reader for the two documents the library reads (configuration
// and discovery response). Each function consumes one element of the range
// [cursor, end), advances cursor past it and never reads at or past end.
// After a ParseError the cursor position is unspecified. No state: any
// thread may call them.

// Consumes every byte for which isspace is true.
void skipWhitespace(const char*& cursor, const char* end) noexcept;

// Consumes exactly the literal, or throws "parse failure exepected <literal>"
// (too little input) / "parse failue expected <rest of literal>" (a byte
// differs; the cursor then stands after it).
void expect(const char*& cursor, const char* end, const char* literal, std::size_t length);
void expectAfterWhitespace(const char*& cursor, const char* end, const char* literal,
                           std::size_t length);

// One JSON string, quotes included, decoded into output (which is cleared
// first). \uXXXX up to 0xFF appends that single byte; any other \u sequence
// and unknown escapes are kept as they stand.
void parseString(std::string& output, const char*& cursor, const char* end);

// A base-10 integer as strtoll reads it (leading blanks, optional sign).
// Without digits returns 0 and leaves the cursor; out of range throws the
// system's text for ERANGE.
int64_t parseInteger(const char*& cursor, const char* end);

// Blanks, then an array whose elements are all strings.
std::vector<std::string> parseStringArray(const char*& cursor, const char* end);

// Skips one value of any kind, leaving the cursor on the ",", "]" or "}"
// that ends it (or at end).
void skipValue(const char*& cursor, const char* end);

}  // namespace vostrel
