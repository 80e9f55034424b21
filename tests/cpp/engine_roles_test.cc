#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/batch.h"
#include "engine/text_encoder.h"
#include "test_model.h"

namespace morfex::engine {
namespace {

// "[UNK]" at 0 and "[PAD]" at 1: by the core's own rule an unknown character would get 1.
const bpe::testing_support::VocabList kVocab = {{"[UNK]", 0}, {"[PAD]", 1}, {"<pad>", 3}, {"a", 5}, {"b", 6}, {"ab", 7}};

Model model_with(const std::optional<SpecialRoles>& roles) {
  bpe::CoreBPE record = bpe::testing_support::record_of(kVocab, {{"a", "b"}});
  return build_model(std::move(record.token_to_id), std::move(record.merge_ranks), roles);
}

std::vector<TokenId> encoded(Engine& engine, std::string_view item, const TextModel* text) {
  const std::vector<WordRef> refs = {{item.data(), item.size(), Units::kUtf8}};
  Session session(engine, 1, nullptr);
  EncodedWords out;
  EXPECT_EQ(text == nullptr ? session.encode(refs, out) : session.encode_texts(refs, *text, {}, out), kNoWord);
  return {out.ids.data(), out.ids.data() + out.ids.size()};
}

std::string decoded(const Model& model, const std::vector<TokenId>& ids) {
  TextBuffer text;
  decode_word(model, ids, text);
  return {text.data(), text.size()};
}

TEST(SpecialRoles, NamedTokensReplaceTheCoresUnknownAndSpecialIds) {
  Engine engine(model_with(SpecialRoles{"[UNK]", {0, 1}}), 0);
  const TextModel text(engine.model(), std::nullopt);
  EXPECT_EQ(encoded(engine, "ab\xE2\x82\xAC", nullptr), (std::vector<TokenId>{7, 0}));
  EXPECT_EQ(encoded(engine, "ab\xE2\x82\xAC" "a", &text), (std::vector<TokenId>{7, 0, 5}));
  // "<pad>" plays no role here, so it decodes as text.
  EXPECT_EQ(decoded(engine.model(), {7, 0, 1, 3}), "ab<pad>");
}

TEST(SpecialRoles, WithoutRolesTheCoreRuleHolds) {
  Engine engine(model_with(std::nullopt), 0);
  const TextModel text(engine.model(), std::nullopt);
  EXPECT_EQ(encoded(engine, "ab\xE2\x82\xAC", nullptr), (std::vector<TokenId>{7, 1}));
  EXPECT_EQ(encoded(engine, "ab\xE2\x82\xAC", &text), (std::vector<TokenId>{7, 1}));
  EXPECT_EQ(decoded(engine.model(), {7, 0, 1, 3}), "ab[UNK][PAD]");
}

}  // namespace
}  // namespace morfex::engine
