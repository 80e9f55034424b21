#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "segment/coding.h"
#include "segment/construction_table.h"
#include "segment/trainer.h"

namespace morfex::segment {
namespace {

const std::vector<std::string> kLetters = {"a", "b", "k", "o", "\xC4\x85", "\xE2\x82\xAC"};

std::string random_string(std::mt19937& rng, std::size_t min_atoms, std::size_t max_atoms) {
  std::string text;
  for (std::size_t k = min_atoms + rng() % (max_atoms - min_atoms + 1); k > 0; --k) {
    text += kLetters[rng() % kLetters.size()];
  }
  return text;
}

// Every stem with every ending, so that splitting pays, and then as many
// words of no pattern as asked for.
std::vector<std::string> random_words(std::mt19937& rng, std::size_t unpatterned) {
  std::vector<std::string> stems;
  std::vector<std::string> endings;
  for (int i = 0; i < 60; ++i) stems.push_back(random_string(rng, 4, 7));
  for (int i = 0; i < 8; ++i) endings.push_back(random_string(rng, 2, 4));
  std::set<std::string> words;
  for (const auto& stem : stems) {
    for (const auto& ending : endings) words.insert(stem + ending);
  }
  for (std::size_t i = 0; i < unpatterned; ++i) words.insert(random_string(rng, 1, 9));
  return {words.begin(), words.end()};
}

std::size_t atoms_in(const std::string& text) {
  std::size_t atoms = 0;
  for (const unsigned char byte : text) atoms += (byte & 0xC0) != 0x80 ? 1 : 0;
  return atoms;
}

// The unannotated cost recomputed from the lexicon alone, the plain way.
double plain_cost(const MorphCounts& counts) {
  Coding corpus;
  corpus.boundaries = counts.words;
  corpus.weight = counts.corpus_weight;
  Coding lexicon;
  std::map<std::string, std::int64_t> atoms;
  for (const auto& [morph, count] : counts.morphs) {
    corpus.tokens += count;
    if (count > 1) corpus.log_token_sum += static_cast<double>(count) * std::log(static_cast<double>(count));
    ++lexicon.boundaries;
    for (std::size_t pos = 0; pos < morph.size();) {
      std::size_t len = 1;
      while (pos + len < morph.size() && (static_cast<unsigned char>(morph[pos + len]) & 0xC0) == 0x80) ++len;
      ++atoms[morph.substr(pos, len)];
      pos += len;
    }
  }
  for (const auto& [atom, count] : atoms) {
    lexicon.tokens += count;
    if (count > 1) lexicon.log_token_sum += static_cast<double>(count) * std::log(static_cast<double>(count));
  }
  return corpus_cost(corpus, lexicon.boundaries) + lexicon_cost(lexicon, static_cast<std::int64_t>(atoms.size()));
}

std::string joined(const std::string& segmented) {
  std::string word;
  for (std::size_t at = 0; at < segmented.size();) {
    if (segmented.compare(at, 3, "\xE2\x96\x81") == 0) {
      at += 3;
    } else {
      word += segmented[at++];
    }
  }
  return word;
}

TEST(ConstructionTable, AgreesWithAMapThroughInsertsAndErases) {
  std::mt19937 rng(7);
  std::vector<std::u32string> keys;
  for (int i = 0; i < 400; ++i) {
    std::u32string key;
    for (std::size_t k = 1 + rng() % 4; k > 0; --k) key.push_back(static_cast<char32_t>(rng() % 3));
    keys.push_back(key);
  }
  ConstructionTable<int> table;
  std::map<std::u32string, int> plain;
  for (int step = 0; step < 20000; ++step) {
    const std::u32string& key = keys[rng() % keys.size()];
    int* found = table.find(key);
    const auto expected = plain.find(key);
    ASSERT_EQ(found != nullptr, expected != plain.end()) << step;
    if (found == nullptr) {
      table.insert(key, step);
      plain[key] = step;
    } else {
      ASSERT_EQ(*found, expected->second);
      if (rng() % 2 == 0) {
        table.erase(found);
        plain.erase(expected);
      }
    }
  }
  std::size_t visited = 0;
  table.for_each([&](std::u32string_view key, int value) {
    ++visited;
    EXPECT_EQ(plain.at(std::u32string(key)), value);
  });
  EXPECT_EQ(visited, plain.size());
}

TEST(SegmentTrainer, DampeningAsMorfessorRoundsIt) {
  EXPECT_EQ(dampened(7, Dampening::kNone), 7);
  EXPECT_EQ(dampened(7, Dampening::kOnes), 1);
  // round(log2(count + 1)): 1 -> 1, 2 -> 1.58 -> 2, 3 -> 2, 7 -> 3, 1000 -> 9.97 -> 10.
  const std::vector<std::pair<std::int64_t, std::int64_t>> logs = {{1, 1}, {2, 2}, {3, 2}, {7, 3}, {1000, 10}};
  for (const auto& [count, expected] : logs) EXPECT_EQ(dampened(count, Dampening::kLog), expected) << count;
}

TEST(SegmentTrainer, KeptCostEqualsTheCostRecomputedFromTheLexicon) {
  std::mt19937 rng(1);
  for (const double weight : {1.0, 0.4, 2.5}) {
    Trainer trainer(weight);
    std::int64_t total = 0;
    for (const auto& word : random_words(rng, 40)) {
      const std::int64_t count = 1 + static_cast<std::int64_t>(rng() % 3);
      trainer.add_word(word, count);
      total += count;
    }
    TrainerOptions options;
    options.corpus_weight = weight;
    const double unsplit = trainer.cost();
    const TrainingSummary summary = trainer.train(options);
    const MorphCounts counts = trainer.counts();
    EXPECT_EQ(counts.words, total);
    EXPECT_EQ(counts.corpus_weight, weight);
    EXPECT_NEAR(summary.cost, plain_cost(counts), 1e-9 * summary.cost) << weight;
    EXPECT_EQ(summary.cost, trainer.cost());
    EXPECT_GE(summary.epochs, 2u);
    EXPECT_LT(summary.cost, unsplit);
  }
}

TEST(SegmentTrainer, TrainedWordsAreSplitIntoTheirOwnLetters) {
  std::mt19937 rng(2);
  const std::vector<std::string> words = random_words(rng, 40);
  Trainer trainer;
  for (const auto& word : words) trainer.add_word(word, 1);
  trainer.train(TrainerOptions{});
  std::size_t cut = 0;
  for (const auto& word : words) {
    const std::string segmented = trainer.segmentation(word);
    EXPECT_EQ(joined(segmented), word);
    cut += segmented.size() != word.size() ? 1 : 0;
  }
  EXPECT_GT(cut, 0u);
}

TEST(SegmentTrainer, ASeedGivesOneModel) {
  std::mt19937 rng(3);
  const std::vector<std::string> words = random_words(rng, 40);
  auto trained = [&](std::uint64_t seed) {
    Trainer trainer;
    for (const auto& word : words) trainer.add_word(word, 1);
    TrainerOptions options;
    options.seed = seed;
    trainer.train(options);
    return trainer.counts();
  };
  EXPECT_EQ(trained(5), trained(5));
}

TEST(SegmentTrainer, AnAnalysisIsLoadedAsARightBranchingTree) {
  Trainer trainer;
  trainer.add_word("kotami", 2);
  trainer.set_analysis("kotami", {"kot", "a", "mi"});
  trainer.add_word("ami", 1);
  EXPECT_EQ(trainer.segmentation("kotami"), "kot\xE2\x96\x81" "a\xE2\x96\x81mi");
  EXPECT_EQ(trainer.segmentation("ami"), "a\xE2\x96\x81mi");
  // Analysing the shared suffix again re-analyses every word through it.
  trainer.set_analysis("ami", {"ami"});
  EXPECT_EQ(trainer.segmentation("kotami"), "kot\xE2\x96\x81" "ami");
  const MorphCounts counts = trainer.counts();
  const std::vector<std::pair<std::string, std::int64_t>> expected = {{"ami", 3}, {"kot", 2}};
  EXPECT_EQ(counts.morphs, expected);
  EXPECT_EQ(counts.words, 3);
}

TEST(SegmentTrainer, AnnotationsPullTheirWordsTowardTheirSegmentation) {
  std::mt19937 rng(4);
  const std::vector<std::string> words = random_words(rng, 40);
  Trainer trainer;
  for (const auto& word : words) trainer.add_word(word, 1);
  std::vector<GoldWord> gold;
  for (std::size_t i = 0; i < 40; ++i) {
    const std::string& word = words[i];
    if (atoms_in(word) < 2) continue;
    std::size_t first = 1;
    while ((static_cast<unsigned char>(word[first]) & 0xC0) == 0x80) ++first;
    gold.push_back({word, {{word.substr(0, first), word.substr(first)}}});
  }
  gold.push_back({"zzz", {{"z", "zz"}, {"zzz"}}});
  trainer.set_annotations(gold, std::nullopt);
  trainer.train(TrainerOptions{});
  std::size_t agreeing = 0;
  for (const auto& annotated : gold) {
    const auto& morphs = annotated.analyses[0];
    agreeing += trainer.segmentation(annotated.word) == morphs[0] + "\xE2\x96\x81" + morphs[1] ? 1 : 0;
  }
  EXPECT_GT(agreeing, gold.size() * 3 / 4);
  // The annotated word missing from the corpus was added to it once.
  EXPECT_EQ(trainer.counts().words, static_cast<std::int64_t>(words.size()) + 1);
}

TEST(SegmentTrainer, BadInputIsNamed) {
  Trainer trainer;
  auto message = [](auto&& call) {
    try {
      call();
    } catch (const InputError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message([&] { trainer.add_word("", 1); }), "word '' is empty");
  EXPECT_EQ(message([&] { trainer.add_word("a b", 1); }), "word 'a b' holds whitespace");
  EXPECT_EQ(message([&] { trainer.add_word("a\xE2\x96\x81" "b", 1); }),
            "word 'a\xE2\x96\x81" "b' holds the morpheme marker U+2581");
  EXPECT_EQ(message([&] { trainer.add_word("a\xFF", 1); }), "word 'a\xFF' is not valid UTF-8");
  EXPECT_EQ(message([&] { trainer.add_word("ab", 0); }), "the count of word 'ab' must be from 1 to 9007199254740991, got 0");
  trainer.add_word("kot", 1);
  EXPECT_EQ(message([&] { trainer.set_analysis("kot", {"ko", "d"}); }), "the morphs of 'kot' do not spell it");
  EXPECT_EQ(message([&] { trainer.set_analysis("pes", {"pes"}); }), "word 'pes' was not added");
  EXPECT_EQ(message([&] { trainer.set_annotations({{"kot", {{"ko", "ta"}}}}, std::nullopt); }),
            "the annotation 'ko\xE2\x96\x81ta' does not spell its word 'kot'");
  EXPECT_EQ(message([&] { trainer.set_annotations({{"kot", {{"ko", ""}}}}, std::nullopt); }),
            "a morph of the annotation of 'kot', '', is empty");
  EXPECT_EQ(message([&] { trainer.set_annotations({{"kot", {}}}, std::nullopt); }),
            "the annotation of 'kot' has no analysis");
}

}  // namespace
}  // namespace morfex::segment
