#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <typeinfo>

namespace vostrel::randutils {

// A seed sequence that keeps `count` 32-bit words, mixed once from the
// entropy words it is built with, and fills any number of seed words from
// them (the standard seed-sequence generate operation, so standard engines
// can be seeded from it). Cheap and stateless after construction; build one
// per seeding on the stack.
template <std::size_t count, class IntRep = uint32_t, std::size_t mixRounds = 1>
class seed_seq_fe {
  static_assert(std::is_unsigned<IntRep>::value && sizeof(IntRep) == 4, "the mixing constants are for 32-bit words");
  static_assert(count > 0, "a seed sequence needs at least one word");
  static_assert(mixRounds == 1, "one mixing pass");

 public:
  using result_type = IntRep;

  // Mixes the entropy words [begin, end) into the mixer; missing words (fewer
  // than count) count as 0.
  template <class InputIt>
  seed_seq_fe(InputIt begin, InputIt end) {
    mixEntropy(begin, end);
  }

  // Fills [begin, end) with seed words.
  template <class RandomIt>
  void generate(RandomIt begin, RandomIt end) const {
    IntRep multiplier = 0x8B51F9DDu;
    std::size_t source = 0;
    for (RandomIt out = begin; out != end; ++out) {
      IntRep word = mixer_[source];
      word ^= multiplier;
      multiplier *= 0x58F38DEDu;
      word *= multiplier;
      word ^= word >> 16;
      *out = word;
      source = source + 1 == count ? 0 : source + 1;
    }
  }

  // The mixer words, as std::seed_seq::param gives its input.
  template <class OutputIt>
  void param(OutputIt out) const {
    for (IntRep word : mixer_) *out++ = word;
  }

  static constexpr std::size_t size() noexcept { return count; }

 private:
  class Hasher {
   public:
    IntRep operator()(IntRep value) noexcept {
      value ^= multiplier_;
      multiplier_ *= 0x931E8875u;
      value *= multiplier_;
      value ^= value >> 16;
      return value;
    }

   private:
    IntRep multiplier_ = 0x43B0D7E5u;
  };

  static IntRep mix(IntRep x, IntRep y) noexcept {
    IntRep result = 0xCA01F9DDu * x - 0x4973F715u * y;
    result ^= result >> 16;
    return result;
  }

  template <class InputIt>
  void mixEntropy(InputIt begin, InputIt end) {
    Hasher hash;
    InputIt word = begin;
    for (IntRep& m : mixer_) {
      IntRep value = 0;
      if (word != end) value = static_cast<IntRep>(*word++);
      m = hash(value);
    }
    for (std::size_t s = 0; s < count; ++s) {
      for (std::size_t d = 0; d < count; ++d) {
        if (d != s) mixer_[d] = mix(mixer_[d], hash(mixer_[s]));
      }
    }
    for (; word != end; ++word) {
      const IntRep value = static_cast<IntRep>(*word);
      for (IntRep& m : mixer_) m = mix(m, hash(value));
    }
  }

  std::array<IntRep, count> mixer_{};
};

// The eleven words of local entropy for one seeding, given the address of the
// seed object being built and the hash of its type. Any thread. The first
// call in a process reads the system random device once; if that throws, the
// exception leaves here and the next call tries again.
std::array<uint32_t, 11> gatherEntropy(const void* seedObject, std::size_t typeHash);

// A SeedSeq seeded from gatherEntropy by default construction.
template <class SeedSeq>
class auto_seeded : public SeedSeq {
 public:
  auto_seeded() : auto_seeded(gatherEntropy(this, typeid(auto_seeded).hash_code())) {}

 private:
  explicit auto_seeded(const std::array<uint32_t, 11>& entropy) : SeedSeq(entropy.begin(), entropy.end()) {}
};

}  // namespace vostrel::randutils
