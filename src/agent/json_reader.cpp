#include "agent/json_reader.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vostrel {

namespace {

bool isSpace(char c) noexcept { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int hexDigit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four characters after "\u": hex digits with optional blanks around
// them. Returns -1 when they do not form such a number.
int hexQuad(const char* digits) noexcept {
  const char* begin = digits;
  const char* end = digits + 4;
  while (begin != end && isSpace(*begin)) ++begin;
  while (end != begin && isSpace(end[-1])) --end;
  if (begin == end) return -1;
  int value = 0;
  for (const char* p = begin; p != end; ++p) {
    const int digit = hexDigit(*p);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

}  // namespace

void skipWhitespace(const char*& cursor, const char* end) noexcept {
  while (cursor != end && isSpace(*cursor)) ++cursor;
}

void expect(const char*& cursor, const char* end, const char* literal, std::size_t length) {
  if (static_cast<std::size_t>(end - cursor) < length) {
    throw ParseError(std::string("parse failure exepected ").append(literal, length));
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (*cursor++ != literal[i]) {
      throw ParseError(std::string("parse failue expected ").append(literal + i, length - i));
    }
  }
}

void expectAfterWhitespace(const char*& cursor, const char* end, const char* literal,
                           std::size_t length) {
  skipWhitespace(cursor, end);
  expect(cursor, end, literal, length);
}

void parseString(std::string& output, const char*& cursor, const char* end) {
  expect(cursor, end, "\"", 1);
  output.clear();
  for (;;) {
    if (cursor == end) throw ParseError("parse error: missing unmatching \"");
    const char c = *cursor++;
    if (c == '"') return;
    if (c != '\\') {
      output.push_back(c);
      continue;
    }
    if (cursor == end) throw ParseError("parse error: invalid escape sequence");
    const char escape = *cursor++;
    switch (escape) {
      case '"': output.push_back('"'); break;
      case '\\': output.push_back('\\'); break;
      case 'b': output.push_back('\b'); break;
      case 'f': output.push_back('\f'); break;
      case 'n': output.push_back('\n'); break;
      case 'r': output.push_back('\r'); break;
      case 't': output.push_back('\t'); break;
      case 'u': {
        // Four digits and at least the closing quote must follow.
        if (end - cursor < 5) throw ParseError("parse error: invalid hex escape sequence");
        const int value = hexQuad(cursor);
        if (value >= 0 && value <= 0xFF) {
          output.push_back(static_cast<char>(value));
        } else {
          output.append(cursor - 2, 6);
        }
        cursor += 4;
        break;
      }
      default:
        output.push_back('\\');
        output.push_back(escape);
    }
  }
}

int64_t parseInteger(const char*& cursor, const char* end) {
  // strtoll itself would run to the next zero byte, which need not lie inside
  // the range; convert a bounded copy of what it would read instead.
  const char* p = cursor;
  skipWhitespace(p, end);
  const char* number = p;
  if (p != end && (*p == '+' || *p == '-')) ++p;
  const char* digits = p;
  while (p != end && *p >= '0' && *p <= '9') ++p;
  if (p == digits) return 0;
  const std::string text(number, p);
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0) throw ParseError(std::strerror(errno));
  cursor = p;
  return value;
}

std::vector<std::string> parseStringArray(const char*& cursor, const char* end) {
  std::vector<std::string> list;
  expectAfterWhitespace(cursor, end, "[", 1);
  skipWhitespace(cursor, end);
  if (cursor == end) throw ParseError("invalid json");
  if (*cursor == ']') {
    ++cursor;
    return list;
  }
  for (;;) {
    skipWhitespace(cursor, end);
    list.emplace_back();
    parseString(list.back(), cursor, end);
    skipWhitespace(cursor, end);
    if (cursor == end) throw ParseError("invalid json");
    const char c = *cursor++;
    if (c == ']') return list;
    if (c != ',') throw ParseError("invalid token");
  }
}

void skipValue(const char*& cursor, const char* end) {
  // An explicit stack, so that a hostile nesting depth costs memory, not the
  // thread's stack.
  std::string open;
  while (cursor != end) {
    const char c = *cursor;
    if (c == '"') {
      ++cursor;
      for (;;) {
        if (cursor == end) throw ParseError("parse error: missing unmatching \"");
        const char s = *cursor++;
        if (s == '"') break;
        if (s == '\\') {
          if (cursor == end) throw ParseError("parse error: missing unmatching \"");
          ++cursor;
        }
      }
      continue;
    }
    if (c == '[' || c == '{') {
      open.push_back(c);
    } else if (open.empty() && (c == ',' || c == ']' || c == '}')) {
      return;
    } else if (c == ']') {
      if (open.back() != '[') throw ParseError("parse error: no matching '['");
      open.pop_back();
    } else if (c == '}') {
      if (open.back() != '{') throw ParseError("parse error: no matching '{'");
      open.pop_back();
    }
    ++cursor;
  }
  if (!open.empty()) throw ParseError("parse error: unmatched braces");
}

}  // namespace vostrel
