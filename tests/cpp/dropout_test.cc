#include "bpe/dropout.h"
#include "bpe/encoder.h"
#include "bpe/model.h"
#include "naive_bpe.h"
#include "test_model.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace morfex::bpe {
namespace {

using testing_support::VocabList;
using Ids = std::vector<TokenId>;

Ids encode_with(const Model& model, const std::string& text, double rate, RandomStream& stream) {
  IdBuffer ids;
  encode_dropout(model, text, rate, stream, ids, model.record.unk_id);
  return Ids(ids.begin(), ids.end());
}

TEST(RandomStream, IsSplitMix64) {
  // The first outputs of splitmix64 seeded with 0.
  RandomStream stream(0);
  EXPECT_EQ(stream.next(), 0xE220A8397B1DCDAFu);
  EXPECT_EQ(stream.next(), 0x6E789E6AA1B965F4u);
  EXPECT_EQ(stream.next(), 0x06C45D188009454Fu);
}

TEST(RandomStream, UniformIsTheTop53BitsScaled) {
  RandomStream a(12345);
  RandomStream b(12345);
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t bits = b.next() >> 11;
    const double u = a.uniform();
    EXPECT_EQ(u, static_cast<double>(bits) / 9007199254740992.0);
    EXPECT_GE(u, 0.0);
    EXPECT_LT(u, 1.0);
  }
}

TEST(DropoutSettings, StreamOfASequenceDependsOnlyOnItsIndexInTheBatch) {
  const DropoutSettings whole{0.5, 77, 0};
  const DropoutSettings later_block{0.5, 77, 1000};
  RandomStream from_whole = whole.stream(1003);
  RandomStream from_block = later_block.stream(3);
  RandomStream by_rule(77 ^ mix(1004));
  for (int i = 0; i < 8; ++i) {
    const std::uint64_t expected = by_rule.next();
    EXPECT_EQ(from_whole.next(), expected);
    EXPECT_EQ(from_block.next(), expected);
  }
  EXPECT_NE(whole.stream(0).next(), whole.stream(1).next());
  EXPECT_FALSE(DropoutSettings{}.active());
  EXPECT_TRUE((DropoutSettings{1e-300, 0, 0}.active()));
}

// Random models over an alphabet with TABs (so that two pairs can share one
// joined key), markers and multi-byte characters, with repeated merges and
// merge results missing from the vocabulary.
class RandomModels {
 public:
  explicit RandomModels(std::uint32_t seed) : rng_(seed) {}

  std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_); }
  std::string text(std::size_t chars) {
    std::string s;
    for (; chars > 0; --chars) s += kAlphabet[below(std::size(kAlphabet))];
    return s;
  }

  std::pair<naive::Vocab, MergeList> model() {
    naive::Vocab vocab;
    auto add = [&vocab](const std::string& token) { vocab.emplace(token, static_cast<TokenId>(vocab.size())); };
    for (const char* ch : kAlphabet) {
      if (below(8) != 0) add(ch);
    }
    if (below(2) == 0) add("<unk>");
    MergeList merges;
    for (std::size_t m = below(40); m > 0; --m) {
      std::string left = text(1 + below(2));
      std::string right = text(1 + below(2));
      if (below(4) != 0) add(left + right);
      merges.emplace_back(std::move(left), std::move(right));
      if (below(10) == 0) merges.push_back(merges[below(merges.size())]);
    }
    return {std::move(vocab), std::move(merges)};
  }

 private:
  static constexpr const char* kAlphabet[] = {"a", "b", "c", "\t", "\xE2\x96\x81", "\xF0\x9F\x98\x80", "\xC3\xA9"};
  std::mt19937 rng_;
};

Model built(const naive::Vocab& vocab, const MergeList& merges) {
  return testing_support::model_of(VocabList(vocab.begin(), vocab.end()), merges);
}

TEST(EncodeDropout, RateZeroIsExactEncoding) {
  RandomModels random(7);
  // Lengths on both sides of the exact encoder's switch to its heap, and far beyond.
  const std::size_t lengths[] = {0, 1, 2, 3, 5, 9, 31, 32, 33, 100, 400};
  for (int m = 0; m < 300; ++m) {
    const auto [vocab, merges] = random.model();
    const Model model = built(vocab, merges);
    RandomStream stream(static_cast<std::uint64_t>(m));
    for (const std::size_t length : lengths) {
      const std::string text = random.text(length);
      ASSERT_EQ(encode_with(model, text, 0.0, stream), encode(model, text)) << "model " << m << " length " << length;
    }
  }
}

TEST(EncodeDropout, RateOneGivesTheCharactersAlone) {
  RandomModels random(8);
  for (int m = 0; m < 100; ++m) {
    const auto [vocab, merges] = random.model();
    const Model model = built(vocab, merges);
    RandomStream stream(static_cast<std::uint64_t>(m));
    const std::string text = random.text(1 + random.below(40));
    ASSERT_EQ(encode_with(model, text, 1.0, stream), naive::encode(vocab, {}, text)) << "model " << m;
  }
}

TEST(EncodeDropout, MatchesThePlainRuleDrawForDraw) {
  RandomModels random(9);
  const double rates[] = {0.1, 0.5, 0.9};
  for (int m = 0; m < 600; ++m) {
    const auto [vocab, merges] = random.model();
    const Model model = built(vocab, merges);
    const double rate = rates[m % 3];
    for (int t = 0; t < 4; ++t) {
      // Past the in-place limit, on both sides of it, and as short as most words.
      const std::string text = random.text(t == 0 ? 60 : t == 1 ? 31 + random.below(3) : 1 + random.below(12));
      const std::uint64_t seed = static_cast<std::uint64_t>(m) * 31 + static_cast<std::uint64_t>(t);
      RandomStream fast(seed);
      RandomStream plain(seed);
      const Ids got = encode_with(model, text, rate, fast);
      const Ids expected = naive::ids_of(
          vocab, naive::dropout_symbols(merges, text, [&] { return plain.uniform() < rate; }));
      ASSERT_EQ(got, expected) << "model " << m << " text '" << text << "' rate " << rate;
      // Both took the same number of draws.
      ASSERT_EQ(fast.next(), plain.next()) << "model " << m << " text '" << text << "'";
    }
  }
}

TEST(EncodeDropout, UsesTheUnknownIdGiven) {
  const Model model = testing_support::model_of({{"a", 0}, {"b", 1}, {"ab", 2}, {"<unk>", 3}}, {{"a", "b"}});
  RandomStream stream(1);
  IdBuffer ids;
  encode_dropout(model, "abq", 0.0, stream, ids, 99);
  EXPECT_EQ(Ids(ids.begin(), ids.end()), (Ids{2, 99}));
}

}  // namespace
}  // namespace morfex::bpe
