#include "bpe/hash.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <string>

namespace morfex::bpe {
namespace {

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

}  // namespace
}  // namespace morfex::bpe
