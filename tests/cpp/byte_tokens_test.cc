#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "text/byte_tokens.h"

namespace morfex::text {
namespace {

struct Utf8Case {
  std::string bytes;
  std::string decoded;
};

class ReplacingTest : public testing::TestWithParam<Utf8Case> {};

TEST_P(ReplacingTest, ReplacesAsPythonDoes) {
  std::string out;
  append_utf8_replacing(GetParam().bytes, out);
  EXPECT_EQ(out, GetParam().decoded);
}

const std::string kFffd = "\xEF\xBF\xBD";

// Expected values are what bytes.decode("utf-8", "replace") gives.
INSTANTIATE_TEST_SUITE_P(
    Examples, ReplacingTest,
    testing::Values(Utf8Case{"abc", "abc"}, Utf8Case{"\xC4\x85", "\xC4\x85"}, Utf8Case{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
                    Utf8Case{"\x80", kFffd}, Utf8Case{"\xC0\xAF", kFffd + kFffd},
                    Utf8Case{"\xE2\x82", kFffd}, Utf8Case{"\xE2\x82x", kFffd + "x"},
                    Utf8Case{"\xED\xA0\x80", kFffd + kFffd + kFffd}, Utf8Case{"\xE0\x80\x80", kFffd + kFffd + kFffd},
                    Utf8Case{"\xF0\x9F\x98", kFffd}, Utf8Case{"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
                    Utf8Case{"\xF5", kFffd}, Utf8Case{"\xFF\xFE", kFffd + kFffd}, Utf8Case{std::string(1, '\0'), std::string(1, '\0')}));

std::array<bpe::TokenId, 256> ids_from(bpe::TokenId first, bool reversed) {
  std::array<bpe::TokenId, 256> ids{};
  std::iota(ids.begin(), ids.end(), first);
  if (reversed) std::reverse(ids.begin(), ids.end());
  return ids;
}

struct TokensCase {
  bpe::TokenId first;
  bool reversed;
};

class ByteTokensTest : public testing::TestWithParam<TokensCase> {};

TEST_P(ByteTokensTest, MapsBothWays) {
  const auto ids = ids_from(GetParam().first, GetParam().reversed);
  const ByteTokens tokens(ids);
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(tokens.id_of(static_cast<std::uint8_t>(b)), ids[b]);
    EXPECT_EQ(tokens.byte_of(ids[b]), b);
  }
  EXPECT_EQ(tokens.byte_of(GetParam().first + 256), -1);
  if (GetParam().first > 0) {
    EXPECT_EQ(tokens.byte_of(GetParam().first - 1), -1);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ByteTokensTest,
                         testing::Values(TokensCase{0, false}, TokensCase{4, false}, TokensCase{4, true},
                                         TokensCase{UINT32_MAX - 300, false}));

TEST(ByteToken, SpellsUpperCaseHex) {
  const auto spelling = byte_token(0xAF);
  EXPECT_EQ(std::string(spelling.begin(), spelling.end()), "<0xAF>");
}

}  // namespace
}  // namespace morfex::text
