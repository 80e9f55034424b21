#include "bpe/char_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>

namespace morfex::bpe {
namespace {

TEST(CharTable, AgreesWithMapAcrossPlanes) {
  std::mt19937 rng(11);
  CharTable table;
  std::map<std::uint32_t, std::uint32_t> model;
  EXPECT_EQ(table.get(0), CharTable::kAbsent);
  for (int step = 0; step < 20000; ++step) {
    const std::uint32_t scalar = rng() % 3 == 0 ? rng() % 0x110000 : rng() % (rng() % 2 ? 0x100 : 0x3000);
    if (step % 2 == 0) {
      table.set(scalar, static_cast<std::uint32_t>(step));
      model[scalar] = static_cast<std::uint32_t>(step);
    }
    const std::uint32_t probe = rng() % 2 == 0 ? scalar : rng() % 0x110000;
    const auto found = model.find(probe);
    ASSERT_EQ(table.get(probe), found == model.end() ? CharTable::kAbsent : found->second) << probe;
    if (probe < 0x80) {
      ASSERT_EQ(table.get_ascii(probe), table.get(probe));
    }
  }
  for (const std::uint32_t edge : {0u, 0xFFu, 0x100u, 0x10FFFFu}) {
    const auto found = model.find(edge);
    EXPECT_EQ(table.get(edge), found == model.end() ? CharTable::kAbsent : found->second);
  }
}

}  // namespace
}  // namespace morfex::bpe
