#pragma once

#include <gtest/gtest.h>
#include <opentracing/propagation.h>

#include <string>
#include <utility>
#include <vector>

#include "support/header_carrier.h"

namespace vostrel::test {

// A reader over an ordered list of pairs (repeats allowed). LookupKey fails
// the test: extraction must read through ForeachKey only.
template <class Base>
class ListReader : public Base {
 public:
  explicit ListReader(Headers headers) : headers_(std::move(headers)) {}

  opentracing::expected<opentracing::string_view> LookupKey(opentracing::string_view key) const override {
    ADD_FAILURE() << "LookupKey called for " << std::string(key);
    return opentracing::make_unexpected(opentracing::key_not_found_error);
  }

  opentracing::expected<void> ForeachKey(
      std::function<opentracing::expected<void>(opentracing::string_view, opentracing::string_view)> f)
      const override {
    return visitHeaders(headers_, f);
  }

 private:
  Headers headers_;
};

using TextMapReader = ListReader<opentracing::TextMapReader>;
using HttpHeadersReader = ListReader<opentracing::HTTPHeadersReader>;

// Records every Set in order; optionally refuses the Set with index failAt.
template <class Base>
class ListWriter : public Base {
 public:
  explicit ListWriter(int failAt = -1) : failAt_(failAt) {}

  opentracing::expected<void> Set(opentracing::string_view key, opentracing::string_view value) const override {
    if (calls_++ == failAt_) return opentracing::make_unexpected(opentracing::invalid_carrier_error);
    headers.emplace_back(key, value);
    return {};
  }

  mutable Headers headers;

 private:
  int failAt_;
  mutable int calls_ = 0;
};

using TextMapWriter = ListWriter<opentracing::TextMapWriter>;
using HttpHeadersWriter = ListWriter<opentracing::HTTPHeadersWriter>;

}  // namespace vostrel::test
