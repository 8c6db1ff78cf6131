#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vostrel {

// Text keys to text values, in the order first inserted. Contexts carry a
// handful of entries, often none: a vector costs nothing while empty and one
// allocation for a few entries, where a hash map allocates its buckets and a
// node per entry. Past indexedSize entries a hash index keeps lookups cheap,
// so a request with thousands of baggage headers cannot make extraction
// quadratic.
class StringMap {
 public:
  using value_type = std::pair<std::string, std::string>;
  using const_iterator = std::vector<value_type>::const_iterator;
  using iterator = const_iterator;
  static constexpr std::size_t indexedSize = 16;

  StringMap() noexcept = default;
  StringMap(std::initializer_list<value_type> entries);
  template <class Iterator>
  StringMap(Iterator first, Iterator last) {
    for (; first != last; ++first) emplace(first->first, first->second);
  }
  StringMap(const StringMap& other);
  StringMap& operator=(const StringMap& other);
  StringMap(StringMap&& other) noexcept = default;
  StringMap& operator=(StringMap&& other) noexcept = default;
  // Inline: contexts and spans carry several maps, most of them empty.
  ~StringMap() = default;

  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  void clear() noexcept;

  const_iterator find(std::string_view key) const noexcept;
  std::size_t count(std::string_view key) const noexcept { return find(key) == end() ? 0 : 1; }
  // Throws std::out_of_range for a missing key.
  const std::string& at(std::string_view key) const;
  // Adds the entry unless the key is there already (that entry is kept).
  // Returns the key's entry and whether it was added.
  std::pair<const_iterator, bool> emplace(std::string_view key, std::string_view value);
  std::pair<const_iterator, bool> try_emplace(std::string_view key, std::string_view value) {
    return emplace(key, value);
  }
  // Adds the entry, or replaces the value of the key's entry.
  void insert_or_assign(std::string_view key, std::string_view value);

  // Same entries, whatever their order.
  friend bool operator==(const StringMap& a, const StringMap& b) noexcept;
  friend bool operator!=(const StringMap& a, const StringMap& b) noexcept { return !(a == b); }

 private:
  using Index = std::unordered_multimap<std::size_t, uint32_t>;

  std::size_t position(std::string_view key) const noexcept;
  void indexLast();

  std::vector<value_type> entries_;
  std::unique_ptr<Index> index_;  // only past indexedSize entries
};

}  // namespace vostrel
