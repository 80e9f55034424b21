#include "bpe/string_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

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
      table.insert_or_assign(key, value, StringTable<std::uint32_t>::hash_of(key));
      model.insert_or_assign(key, value);
      const std::string probe = random_key(rng);
      const auto found = model.find(probe);
      const std::uint32_t* got = table.get(probe);
      ASSERT_EQ(got != nullptr, found != model.end()) << seed << " " << step;
      if (found != model.end()) {
        EXPECT_EQ(*got, found->second);
        EXPECT_EQ(table.position_of(probe), table.position_of(probe, StringTable<std::uint32_t>::hash_of(probe)));
      } else {
        EXPECT_EQ(table.position_of(probe), StringTable<std::uint32_t>::kNoPosition);
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

TEST(StringTable, LaterValueOfARepeatedKeyWinsAndEmptyKeyIsFound) {
  StringTable<std::uint32_t> table;
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::uint32_t>>{
           {"b", 1}, {"", 2}, {"a", 3}, {"b", 4}, {"0123456789", 5}}) {
    table.insert_or_assign(key, value, StringTable<std::uint32_t>::hash_of(key));
  }
  std::map<std::string, std::uint32_t> seen;
  for (const auto& [key, value] : table) seen.emplace(key, value);
  EXPECT_EQ(seen, (std::map<std::string, std::uint32_t>{{"b", 4}, {"", 2}, {"a", 3}, {"0123456789", 5}}));
  EXPECT_EQ(table.position_of("b"), 0u);
  EXPECT_EQ(*table.get(""), 2u);
  EXPECT_EQ(table.get("ab"), nullptr);
  EXPECT_EQ(table.get("0123456789x"), nullptr);
}

TEST(StringTable, EmptyTableAnswersEveryLookup) {
  const StringTable<std::uint32_t> table;
  EXPECT_EQ(table.begin(), table.end());
  for (const char* key : {"", "a", "\t"}) {
    EXPECT_EQ(table.get(key), nullptr) << key;
    EXPECT_EQ(table.position_of(key), StringTable<std::uint32_t>::kNoPosition) << key;
  }
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
      direct.insert_or_assign(key, value, StringTable<std::uint32_t>::hash_of(key));
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

}  // namespace
}  // namespace morfex::bpe
