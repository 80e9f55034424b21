#include "bpe/small_vector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace morfex::bpe {
namespace {

TEST(SmallVector, KeepsItsElementsWhileSpillingToTheHeap) {
  SmallVector<std::uint32_t, 4> vector;
  std::vector<std::uint32_t> model;
  for (std::uint32_t i = 0; i < 10; ++i) {
    vector.push_back(i);
    model.push_back(i);
  }
  const std::uint32_t more[] = {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115, 116};
  vector.append(more, std::size(more));
  model.insert(model.end(), std::begin(more), std::end(more));
  EXPECT_EQ(std::vector<std::uint32_t>(vector.begin(), vector.end()), model);
  vector.reserve(1000);
  EXPECT_EQ(std::vector<std::uint32_t>(vector.begin(), vector.end()), model);

  // extend leaves its spare elements allocated and outside the size.
  SmallVector<std::uint32_t, 4> extended;
  extended.push_back(7);
  for (std::uint32_t round = 0; round < 20; ++round) {
    std::uint32_t* added = extended.extend(2, 6);
    std::fill(added, added + 8, round);
  }
  EXPECT_EQ(extended.size(), 41u);
  EXPECT_EQ(extended.data()[0], 7u);
  EXPECT_EQ(extended.data()[39], 19u);

  SmallVector<char, 8> text;
  text.append("abcdefgh", 8);
  text.append("", 0);
  text.append("ij", 2);
  EXPECT_EQ(std::string_view(text.data(), text.size()), "abcdefghij");
}

}  // namespace
}  // namespace morfex::bpe
