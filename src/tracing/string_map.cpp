#include "tracing/string_map.h"

#include <functional>
#include <stdexcept>

namespace vostrel {

namespace {

std::size_t hashOf(std::string_view key) noexcept { return std::hash<std::string_view>{}(key); }

}  // namespace

StringMap::StringMap(std::initializer_list<value_type> entries) {
  for (const auto& entry : entries) emplace(entry.first, entry.second);
}

StringMap::StringMap(const StringMap& other) : entries_(other.entries_) {
  if (other.index_) index_ = std::make_unique<Index>(*other.index_);
}

StringMap& StringMap::operator=(const StringMap& other) {
  if (this != &other) {
    StringMap copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void StringMap::clear() noexcept {
  entries_.clear();
  index_.reset();
}

std::size_t StringMap::position(std::string_view key) const noexcept {
  if (index_) {
    const auto range = index_->equal_range(hashOf(key));
    for (auto it = range.first; it != range.second; ++it) {
      if (entries_[it->second].first == key) return it->second;
    }
    return entries_.size();
  }
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const std::string& stored = entries_[i].first;
    if (stored.size() == key.size() && std::string_view(stored) == key) return i;
  }
  return entries_.size();
}

StringMap::const_iterator StringMap::find(std::string_view key) const noexcept {
  return entries_.begin() + static_cast<std::ptrdiff_t>(position(key));
}

const std::string& StringMap::at(std::string_view key) const {
  const auto found = find(key);
  if (found == end()) throw std::out_of_range("StringMap::at");
  return found->second;
}

void StringMap::indexLast() {
  if (!index_) {
    if (entries_.size() <= indexedSize) return;
    auto index = std::make_unique<Index>();
    index->reserve(entries_.size() * 2);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      index->emplace(hashOf(entries_[i].first), static_cast<uint32_t>(i));
    }
    index_ = std::move(index);
    return;
  }
  index_->emplace(hashOf(entries_.back().first), static_cast<uint32_t>(entries_.size() - 1));
}

std::pair<StringMap::const_iterator, bool> StringMap::emplace(std::string_view key, std::string_view value) {
  const std::size_t at = position(key);
  if (at != entries_.size()) return {entries_.begin() + static_cast<std::ptrdiff_t>(at), false};
  // Room for the usual few at once.
  if (entries_.empty()) entries_.reserve(2);
  entries_.emplace_back(std::string(key), std::string(value));
  try {
    indexLast();
  } catch (...) {
    entries_.pop_back();
    throw;
  }
  return {entries_.end() - 1, true};
}

void StringMap::insert_or_assign(std::string_view key, std::string_view value) {
  const std::size_t at = position(key);
  if (at == entries_.size()) {
    emplace(key, value);
    return;
  }
  entries_[at].second.assign(value.data(), value.size());
}

bool operator==(const StringMap& a, const StringMap& b) noexcept {
  if (a.size() != b.size()) return false;
  for (const auto& entry : a) {
    const auto found = b.find(entry.first);
    if (found == b.end() || found->second != entry.second) return false;
  }
  return true;
}

}  // namespace vostrel
