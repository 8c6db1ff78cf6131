#include "reporting/rendered_tags.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "reporting/json_writer.h"
#include "tracing/identifiers.h"

namespace vostrel {

namespace {

constexpr std::string_view urlKey = "http.url";

// The text a value holds, or a null view for values that are not text.
struct TextOf {
  std::string_view operator()(const std::string& text) const { return text; }
  std::string_view operator()(const char* text) const {
    return text != nullptr ? std::string_view(text) : std::string_view();
  }
#if VOSTREL_OPENTRACING_ABI >= 3
  std::string_view operator()(opentracing::string_view text) const { return {text.data(), text.size()}; }
#endif
  template <class T>
  std::string_view operator()(const T&) const {
    return {};
  }
};

}  // namespace

RenderedTags::Header RenderedTags::headerAt(std::size_t at) const noexcept {
  Header header;
  std::memcpy(&header, data_ + at, sizeof header);
  return header;
}

char* RenderedTags::reserve(std::size_t length) {
  // Checked first, so a forged length is refused before any byte is read.
  if (length > std::numeric_limits<uint32_t>::max()) throw std::length_error("tag too long");
  if (size_ + length > capacity_) {
    const std::size_t capacity = std::max(2 * capacity_, size_ + length);
    std::unique_ptr<char[]> heap(new char[capacity]);
    std::memcpy(heap.get(), data_, size_);
    heap_ = std::move(heap);
    data_ = heap_.get();
    capacity_ = capacity;
  }
  return data_ + size_;
}

void RenderedTags::appendRaw(const char* text, std::size_t length) {
  char* const out = reserve(length);
  // An empty view may carry no pointer at all.
  if (length != 0) std::memcpy(out, text, length);
  size_ += length;
}

void RenderedTags::appendString(const char* text, std::size_t length) {
  reserve(length + 2);
  if (!isPlainJsonText(text, length)) {
    std::string escaped;
    appendJsonString(escaped, text, length);
    return appendRaw(escaped.data(), escaped.size());
  }
  char* const out = data_ + size_;
  out[0] = '"';
  if (length != 0) std::memcpy(out + 1, text, length);
  out[length + 1] = '"';
  size_ += length + 2;
}

void RenderedTags::appendValue(const opentracing::Value& value) {
  const std::string_view text = opentracing::util::apply_visitor(TextOf{}, value);
  if (text.data() != nullptr) return appendString(text.data(), text.size());
  if (value.is<int64_t>()) {
    size_ += writeDecimal(value.get<int64_t>(), reserve(maxDecimalLength));
    return;
  }
  if (value.is<bool>()) return value.get<bool>() ? appendRaw("true", 4) : appendRaw("false", 5);
  std::string rendered;
  appendJsonValue(rendered, value);
  appendRaw(rendered.data(), rendered.size());
}

void RenderedTags::set(opentracing::string_view key, const opentracing::Value& value) {
  const std::size_t start = size_;
  std::size_t keyLength = 0;
  try {
    reserve(sizeof(Header));
    size_ += sizeof(Header);
    appendString(key.data(), key.size());
    keyLength = size_ - start - sizeof(Header);
    appendRaw(":", 1);
    const std::string_view url = std::string_view(key.data(), key.size()) == urlKey
                                     ? opentracing::util::apply_visitor(TextOf{}, value)
                                     : std::string_view();
    if (url.data() != nullptr) {
      appendRaw(url.data(), url.size());
    } else {
      appendValue(value);
    }
    const std::size_t member = size_ - start - sizeof(Header);
    if (member > std::numeric_limits<uint32_t>::max() || keyLength >= rawUrlFlag) {
      throw std::length_error("tag too long");
    }
    const Header header{static_cast<uint32_t>(member),
                        static_cast<uint32_t>(keyLength) | (url.data() != nullptr ? rawUrlFlag : 0)};
    std::memcpy(data_ + start, &header, sizeof header);
  } catch (...) {
    size_ = start;
    throw;
  }
  // Escaping is one-to-one, so equal rendered keys are equal keys; there is
  // at most one earlier member of this key.
  const char* const newKey = data_ + start + sizeof(Header);
  for (std::size_t at = 0; at < start;) {
    const Header header = headerAt(at);
    const std::size_t next = at + sizeof(Header) + header.member;
    if ((header.key & ~rawUrlFlag) == keyLength && std::memcmp(data_ + at + sizeof(Header), newKey, keyLength) == 0) {
      std::memmove(data_ + at, data_ + next, size_ - next);
      size_ -= next - at;
      return;
    }
    at = next;
  }
}

}  // namespace vostrel
