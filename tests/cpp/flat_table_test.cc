#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>

#include "bpe/hash.h"
#include "bpe/pair_table.h"
#include "bpe/string_table.h"

namespace morfex::bpe {
namespace {

// Keys drawn from a small alphabet with NUL and TAB bytes, so that keys
// repeat, share prefixes and differ only in their length.
std::string random_key(std::mt19937& rng) {
  static const std::string alphabet = std::string("ab\t\0\xE2\x96\x81", 7);
  std::string key;
  // Lengths on both sides of the eight bytes kept in a slot.
  for (std::size_t n = rng() % 12; n > 0; --n) key += alphabet[rng() % alphabet.size()];
  return key;
}

TEST(StringTable, AgreesWithUnorderedMapUnderRandomInsertsAndLookups) {
  for (unsigned seed = 0; seed < 20; ++seed) {
    std::mt19937 rng(seed);
    StringTable<std::uint32_t> table;
    std::unordered_map<std::string, std::uint32_t> model;
    if (seed % 2 == 0) table.reserve(seed * 10);
    for (int step = 0; step < 3000; ++step) {
      const std::string key = random_key(rng);
      const auto value = static_cast<std::uint32_t>(rng());
      if (rng() % 2 == 0) {
        const bool added = table.emplace(key, value).second;
        EXPECT_EQ(added, model.emplace(key, value).second);
      } else {
        const bool added = table.insert_or_assign(key, value).second;
        EXPECT_EQ(added, model.insert_or_assign(key, value).second);
      }
      const std::string probe = random_key(rng);
      const auto found = model.find(probe);
      ASSERT_EQ(table.contains(probe), found != model.end()) << seed << " " << step;
      if (found != model.end()) {
        EXPECT_EQ(table.at(probe), found->second);
      }
    }
    EXPECT_EQ(table.size(), model.size());
    std::size_t longest = 0;
    // Positions number the keys in insertion order, and the walk reports each key's own.
    std::vector<bool> position_seen(table.size());
    for (auto it = table.begin(); it != table.end(); ++it) {
      const auto [key, value] = *it;
      EXPECT_EQ(model.at(std::string(key)), value);
      longest = std::max(longest, key.size());
      ASSERT_EQ(it.position(), table.position_of(key));
      ASSERT_LT(it.position(), table.size());
      EXPECT_EQ(table.value_at(it.position()), value);
      EXPECT_FALSE(position_seen[it.position()]);
      position_seen[it.position()] = true;
    }
    EXPECT_EQ(table.longest_key(), longest);
  }
}

TEST(StringTable, KeepsFirstOfRepeatedKeysAndFindsEmptyKey) {
  const StringTable<std::uint32_t> table{{"b", 1}, {"", 2}, {"a", 3}, {"b", 4}, {"0123456789", 5}};
  std::map<std::string, std::uint32_t> seen;
  for (const auto& [key, value] : table) seen.emplace(key, value);
  EXPECT_EQ(seen, (std::map<std::string, std::uint32_t>{{"b", 1}, {"", 2}, {"a", 3}, {"0123456789", 5}}));
  EXPECT_EQ(table.find("")->second, 2u);
  EXPECT_EQ(table.find("ab"), table.end());
  EXPECT_THROW(table.at("c"), std::out_of_range);
}

// Deferred inserts end as the same table as direct ones, positions included,
// through growth and repeated keys, and keep their own copy of each key.
TEST(DeferredInserts, BuildTheSameTableAsDirectInserts) {
  for (unsigned seed = 0; seed < 10; ++seed) {
    std::mt19937 rng(seed);
    StringTable<std::uint32_t> direct;
    StringTable<std::uint32_t> deferred;
    DeferredInserts<std::uint32_t> inserts(deferred);
    std::string key;
    for (int step = 0; step < 2000; ++step) {
      if (rng() % 4 != 0) key = random_key(rng);  // else the same key again, back to back
      const auto value = static_cast<std::uint32_t>(rng());
      std::string passed = key;
      direct.insert_or_assign(key, value);
      inserts.insert_or_assign(passed, value);
      passed.assign("scribbled over");
    }
    inserts.flush();
    ASSERT_EQ(deferred.size(), direct.size()) << seed;
    for (auto it = direct.begin(); it != direct.end(); ++it) {
      const auto [key_of, value] = *it;
      ASSERT_EQ(deferred.position_of(key_of), it.position()) << seed;
      ASSERT_EQ(deferred.value_at(it.position()), value) << seed;
    }
  }
}

TEST(SameBytes, AgreesWithMemcmpOnEveryLengthAndDifferingByte) {
  std::mt19937 rng(9);
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string a(n, '\0');
    for (char& c : a) c = static_cast<char>(rng());
    EXPECT_TRUE(same_bytes(a.data(), a.data(), n));
    for (std::size_t at = 0; at < n; ++at) {
      for (const int flip : {0x01, 0x80, 0xFF}) {
        std::string b = a;
        b[at] = static_cast<char>(b[at] ^ flip);
        ASSERT_FALSE(same_bytes(a.data(), b.data(), n)) << n << " " << at;
        ASSERT_EQ(same_bytes(a.data(), b.data(), at), std::memcmp(a.data(), b.data(), at) == 0);
      }
    }
  }
}

TEST(StringTable, EmptyTableAnswersEveryLookup) {
  const StringTable<std::uint32_t> table;
  for (const char* key : {"", "a", "\t"}) EXPECT_EQ(table.find(key), table.end()) << key;
}

// Positions below and above the square array's edge, and the extremes.
TEST(PairTable, AgreesWithMapOnDenseAndExtremePositions) {
  std::mt19937 rng(5);
  PairTable table;
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::pair<std::uint32_t, std::uint32_t>> model;
  auto position = [&rng] {
    const std::uint32_t edges[] = {0, 1, 127, 128, 0xFFFFFFFEu};
    return rng() % 4 == 0 ? edges[rng() % 5] : static_cast<std::uint32_t>(rng() % 300);
  };
  auto expect_same = [&](std::uint32_t left, std::uint32_t right) {
    const PairTable::Merge found = table.merge_of(left, right);
    const auto expected = model.find({left, right});
    const std::pair<std::uint32_t, std::uint32_t> want =
        expected == model.end() ? std::make_pair(UINT32_MAX, UINT32_MAX) : expected->second;
    ASSERT_EQ(std::make_pair(found.rank, found.merged), want) << left << ", " << right;
  };
  for (int step = 0; step < 4000; ++step) {
    const std::uint32_t left = position();
    const std::uint32_t right = position();
    const PairTable::Merge merge{static_cast<std::uint32_t>(rng() % 1000), rng() % 2 ? UINT32_MAX : position()};
    table.insert_or_assign(left, right, merge);
    model[{left, right}] = {merge.rank, merge.merged};
    expect_same(position(), position());
  }
  for (std::uint32_t left = 120; left < 136; ++left) {
    for (std::uint32_t right = 0; right < 300; ++right) expect_same(left, right);
  }
  EXPECT_EQ(table.size(), model.size());
}

TEST(PairTable, EmptyTableHasNoMerges) {
  const PairTable table;
  const PairTable::Merge merge = table.merge_of(0, 0);
  EXPECT_EQ(merge.rank, UINT32_MAX);
  EXPECT_EQ(merge.merged, UINT32_MAX);
}

}  // namespace
}  // namespace morfex::bpe
