#pragma once

#include <opentracing/string_view.h>
#include <opentracing/value.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vostrel {

// The tags of one span, kept as the JSON members they become in its record
// ("key":value), so that setting a tag copies its texts once and finishing
// the span copies finished text. The usual handful fits in the object
// itself. A text "http.url" tag is kept as it was given: the serializer
// redacts it with the secret filter current at the finish.
//
// Not synchronised: the span's lock guards it.
class RenderedTags {
 public:
  // One member. For a kept URL, text is the rendered key and ':' followed by
  // the URL as given, and keyLength says where the URL starts.
  struct Member {
    std::string_view text;
    bool rawUrl;
    std::size_t keyLength;  // of the rendered key, quotes included
  };

  RenderedTags() noexcept : data_(inline_) {}
  RenderedTags(const RenderedTags&) = delete;
  RenderedTags& operator=(const RenderedTags&) = delete;

  // Sets key to value, replacing the member of an earlier tag of the same
  // key. Texts the value refers to are copied. Throws std::bad_alloc,
  // std::length_error for a member beyond 4 GiB, and what appendJsonValue
  // throws; the tags are then as they were.
  void set(opentracing::string_view key, const opentracing::Value& value);
  bool empty() const noexcept { return size_ == 0; }

  // visit(const Member&) for every member, in no fixed order.
  template <class Visit>
  void foreachMember(Visit&& visit) const {
    for (std::size_t at = 0; at < size_;) {
      const Header header = headerAt(at);
      const std::size_t keyLength = header.key & ~rawUrlFlag;
      visit(Member{{data_ + at + sizeof(Header), header.member}, (header.key & rawUrlFlag) != 0, keyLength});
      at += sizeof(Header) + header.member;
    }
  }

 private:
  // Before each member: its length and its key's, both rendered.
  struct Header {
    uint32_t member;
    uint32_t key;
  };
  static constexpr uint32_t rawUrlFlag = 0x80000000u;
  static constexpr std::size_t inlineCapacity = 256;

  Header headerAt(std::size_t at) const noexcept;
  // Room for length more bytes past size_.
  char* reserve(std::size_t length);
  void appendRaw(const char* text, std::size_t length);
  void appendString(const char* text, std::size_t length);
  void appendValue(const opentracing::Value& value);

  char inline_[inlineCapacity];
  std::unique_ptr<char[]> heap_;
  char* data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = inlineCapacity;
};

}  // namespace vostrel
