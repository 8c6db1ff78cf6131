#include "tracing/identifiers.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tracing/random_seed.h"

namespace vostrel {
namespace {

using Words = std::array<uint32_t, 11>;
using Mixer = randutils::seed_seq_fe<8, unsigned, 1>;

// The seeding formulas written out plainly, one call after another.
struct ReferenceSeed {
  uint32_t h = 0x43B0D7E5u;
  uint32_t mixer[8];

  uint32_t hash(uint32_t v) {
    v ^= h;
    h *= 0x931E8875u;
    v *= h;
    return v ^ (v >> 16);
  }
  static uint32_t mix(uint32_t x, uint32_t y) {
    const uint32_t r = 0xCA01F9DDu * x - 0x4973F715u * y;
    return r ^ (r >> 16);
  }
  explicit ReferenceSeed(const Words& words) {
    for (int i = 0; i < 8; ++i) mixer[i] = hash(words[i]);
    for (int s = 0; s < 8; ++s) {
      for (int d = 0; d < 8; ++d) {
        if (d != s) mixer[d] = mix(mixer[d], hash(mixer[s]));
      }
    }
    for (int extra = 8; extra < 11; ++extra) {
      for (int d = 0; d < 8; ++d) mixer[d] = mix(mixer[d], hash(words[extra]));
    }
  }
  std::vector<uint32_t> generate(std::size_t n) const {
    std::vector<uint32_t> out;
    uint32_t g = 0x8B51F9DDu;
    for (std::size_t i = 0; i < n; ++i) {
      uint32_t w = mixer[i % 8] ^ g;
      g *= 0x58F38DEDu;
      w *= g;
      out.push_back(w ^ (w >> 16));
    }
    return out;
  }
};

std::vector<uint32_t> mixerWords(const Mixer& seed) {
  std::vector<uint32_t> words;
  seed.param(std::back_inserter(words));
  return words;
}

std::vector<uint32_t> generated(const Mixer& seed, std::size_t n) {
  std::vector<uint32_t> out(n);
  seed.generate(out.begin(), out.end());
  return out;
}

// Mixing fixed entropy words and generating from them gives what the
// formulas give, for the engine's whole 624-word request too.
TEST(Identifiers, SeedMixingFollowsFormulas) {
  const Words cases[] = {
      {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
      {},
      {~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u},
      {0x9E3779B9u, 0x7F4A7C15u, 0x85EBCA6Bu, 0xC2B2AE35u, 0x27D4EB2Fu, 0x165667B1u, 0xD3A2646Cu, 0xFD7046C5u,
       0xB55A4F09u, 4242u, 0},
  };
  for (const Words& words : cases) {
    const ReferenceSeed reference(words);
    const Mixer seed(words.begin(), words.end());
    EXPECT_EQ(mixerWords(seed), std::vector<uint32_t>(reference.mixer, reference.mixer + 8));
    EXPECT_EQ(generated(seed, 624), reference.generate(624));
  }

  // Values worked out by a separate implementation outside this code base.
  const Words counting = cases[0];
  const Mixer seed(counting.begin(), counting.end());
  EXPECT_EQ(mixerWords(seed), (std::vector<uint32_t>{0xAC2E4D07u, 0x370BA727u, 0xF97A28B0u, 0x48FF9D16u, 0x0B975DCAu,
                                                     0x54B9D0D3u, 0x4616DE13u, 0xB5E55E79u}));
  EXPECT_EQ(generated(seed, 10), (std::vector<uint32_t>{0x7B67E12Du, 0x6C6DBF1Bu, 0xA052AC87u, 0x8C48F503u, 0xFF2B1B54u,
                                                       0x91535B11u, 0x24BA3C7Cu, 0x71DA53D2u, 0x3C10553Au, 0x1D004096u}));
}

// The entropy words that do not change from call to call are in their
// places, and the shared counter steps down by its fixed stride each time.
TEST(Identifiers, GathersEntropyWordsInOrder) {
  int object = 0;
  const Words first = randutils::gatherEntropy(&object, 77);
  const Words second = randutils::gatherEntropy(&object, 77);
  EXPECT_EQ(static_cast<uint32_t>(first[0] - second[0]), 0x120E6EAAu);
  EXPECT_EQ(first[4], fold32(reinterpret_cast<std::uintptr_t>(&object)));
  EXPECT_EQ(first[5], fold32(reinterpret_cast<std::uintptr_t>(&fold32)));
  EXPECT_EQ(first[6], fold32(reinterpret_cast<std::uintptr_t>(&_Exit)));
  EXPECT_EQ(first[7], fold32(std::hash<std::thread::id>{}(std::this_thread::get_id())));
  EXPECT_EQ(first[8], fold32(77));
  EXPECT_EQ(first[9], static_cast<uint32_t>(getpid()));
  EXPECT_EQ(first[10], 0u);
}

// fold32 multiplies by its constant and folds the high half onto the low.
TEST(Identifiers, Fold32) {
  const std::pair<uint64_t, uint32_t> cases[] = {
      {0, 0},
      {1, 0x6B33805Au},
      {0xFFFFFFFFull, 0x32082F86u},
      {0x100000000ull, 0xD719504Du},
      {~0ull, 0x6B33805Bu},
      {0x0123456789ABCDEFull, 0xB5A107BEu},
  };
  for (const auto& [value, folded] : cases) EXPECT_EQ(fold32(value), folded) << std::hex << value;
}

// Hexadecimal ids are always sixteen lower-case digits, leading zeros kept.
TEST(Identifiers, FormatHexId) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0000000000000000"},
      {1, "0000000000000001"},
      {255, "00000000000000ff"},
      {0x0123456789ABCDEFull, "0123456789abcdef"},
      {0x8000000000000000ull, "8000000000000000"},
      {~0ull, "ffffffffffffffff"},
  };
  for (const auto& [id, text] : cases) {
    char out[17];
    out[16] = 'X';  // no terminator is written
    const opentracing::string_view view = formatHexId(id, out);
    EXPECT_EQ(std::string(view.data(), view.size()), text);
    EXPECT_EQ(view.data(), out);
    EXPECT_EQ(out[16], 'X');
  }
}

// Decimal text is signed; the most negative value and an id with every bit
// set come out right.
TEST(Identifiers, FormatDecimal) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0"},
      {7, "7"},
      {-1, "-1"},
      {10, "10"},
      {99, "99"},
      {100, "100"},
      {-1000, "-1000"},
      {1234567890123, "1234567890123"},
      {std::numeric_limits<int64_t>::max(), "9223372036854775807"},
      {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
      {static_cast<int64_t>(~0ull), "-1"},
  };
  for (const auto& [value, text] : cases) {
    const opentracing::string_view view = formatDecimal(value);
    EXPECT_EQ(std::string(view.data(), view.size()), text);
  }
}

// The length is worked out before the digits are written: every boundary
// between two digit counts, either sign, and values between them match
// std::to_string.
TEST(Identifiers, WriteDecimalAtEveryDigitCountBoundaryAndBetween) {
  std::vector<int64_t> values{0, std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()};
  for (int64_t power = 1;; power *= 10) {
    for (const int64_t v : {power - 1, power, power + 1}) {
      values.push_back(v);
      values.push_back(-v);
    }
    if (power > std::numeric_limits<int64_t>::max() / 10) break;
  }
  // And values of every magnitude between the boundaries.
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) values.push_back(static_cast<int64_t>(random() >> (i % 64)));
  for (const int64_t value : values) {
    char text[maxDecimalLength + 1];
    text[maxDecimalLength] = '#';
    const std::size_t length = writeDecimal(value, text);
    EXPECT_EQ(std::string(text, length), std::to_string(value));
    EXPECT_EQ(text[maxDecimalLength], '#');
  }
}

// A second formatDecimal on the same thread overwrites the first view.
TEST(Identifiers, SecondFormatDecimalOverwritesFirst) {
  const opentracing::string_view first = formatDecimal(12345);
  const std::string firstText(first.data(), first.size());
  formatDecimal(67890);
  EXPECT_EQ(firstText, "12345");
  EXPECT_EQ(std::string(first.data(), first.size()), "67890");
}

std::vector<uint64_t> draw(std::size_t n) {
  std::vector<uint64_t> ids(n);
  for (uint64_t& id : ids) id = generateId();
  return ids;
}

// Threads drawing at the same time get unrelated sequences.
TEST(Identifiers, ThreadsDrawUnrelatedSequences) {
  std::vector<uint64_t> a;
  std::vector<uint64_t> b;
  std::thread first([&] { a = draw(1000); });
  std::thread second([&] { b = draw(1000); });
  first.join();
  second.join();
  std::set<uint64_t> all(a.begin(), a.end());
  all.insert(b.begin(), b.end());
  EXPECT_EQ(all.size(), 2000u);
}

// Ids the forked child draws first and ids the parent draws next.
struct ForkDraws {
  std::vector<uint64_t> child;
  std::vector<uint64_t> parent;
};

ForkDraws drawAcrossFork() {
  constexpr std::size_t count = 8;
  constexpr std::size_t bytes = count * sizeof(uint64_t);
  ForkDraws draws;
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return draws;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    uint64_t ids[count];
    for (uint64_t& id : ids) id = generateId();
    _exit(write(fds[1], ids, bytes) == static_cast<ssize_t>(bytes) ? 0 : 1);
  }
  close(fds[1]);
  draws.parent = draw(count);
  draws.child.resize(count);
  std::size_t got = 0;
  char* out = reinterpret_cast<char*>(draws.child.data());
  while (got < bytes) {
    const ssize_t n = read(fds[0], out + got, bytes - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(got, bytes);
  return draws;
}

void expectDisjoint(const ForkDraws& draws) {
  std::set<uint64_t> all(draws.child.begin(), draws.child.end());
  all.insert(draws.parent.begin(), draws.parent.end());
  EXPECT_EQ(all.size(), draws.child.size() + draws.parent.size());
}

// After fork the child's ids differ from the parent's next ones, both when
// the forking thread had drawn before and when it had not.
TEST(Identifiers, ForkedChildDoesNotRepeatParent) {
  draw(3);  // registers the fork handler and seeds this thread
  expectDisjoint(drawAcrossFork());

  ForkDraws fresh;
  std::thread unseeded([&] { fresh = drawAcrossFork(); });
  unseeded.join();
  expectDisjoint(fresh);
}

}  // namespace
}  // namespace vostrel
