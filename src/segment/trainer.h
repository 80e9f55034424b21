#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "segment/coding.h"
#include "segment/construction_table.h"
#include "segment/morph_counts.h"

namespace morfex::segment {

// How word counts are dampened before training, as Morfessor's --dampening.
enum class Dampening { kNone, kLog, kOnes };

// The count a word of `count` occurrences trains with: itself, round(log2(count + 1)), or 1.
std::int64_t dampened(std::int64_t count, Dampening dampening) noexcept;

// A gold word: its alternative segmentations, each a list of morphs that spell it.
struct GoldWord {
  std::string word;
  std::vector<std::vector<std::string>> analyses;
};

struct TrainerOptions {
  double corpus_weight = 1.0;
  // Training stops once an epoch gains less than this much cost per word.
  double finish_threshold = 0.005;
  std::size_t max_epochs = 0;  // 0: no limit
  std::uint64_t seed = 0;
};

// Called every few hundred words and at the end of each epoch, from the
// training thread; it may throw to stop training.
using EpochProgress = std::function<void(std::size_t epoch, std::size_t done, std::size_t total)>;

struct TrainingSummary {
  std::size_t epochs = 0;
  double cost = 0.0;
};

// Morfessor 2.0 Baseline, trained by its batch recursive splitting: each
// epoch visits the words in a random order (seeded), tries every binary
// split of each and keeps the cheapest, recursing into both halves.
class Trainer {
 public:
  explicit Trainer(double corpus_weight = 1.0);

  // Adds `count` occurrences of a word; throws InputError for a word that is
  // empty, not UTF-8, or holds whitespace or the marker.
  void add_word(std::string_view word, std::int64_t count);

  // Analyses a word already added as `morphs` (a right-branching tree, as
  // Morfessor's load_segmentations does); throws InputError unless the
  // morphs spell it.
  void set_analysis(std::string_view word, const std::vector<std::string>& morphs);

  // Adds the annotated-corpus term; throws InputError for an analysis that
  // does not spell its word.
  void set_annotations(const std::vector<GoldWord>& annotations, std::optional<double> weight);

  // Morfessor's epoch update: picks each annotated word's likeliest analysis
  // and rebalances the annotation weight.
  void update_annotations();

  TrainingSummary train(const TrainerOptions& options, const EpochProgress& progress = {});

  double cost() const noexcept;
  double corpus_weight() const noexcept { return corpus_.weight; }
  double annotation_weight() const noexcept { return annotated_.weight; }
  std::size_t word_types() const noexcept { return words_.size(); }

  // The lexicon as the segmenter keeps it.
  MorphCounts counts() const;
  // A word's current segmentation, marker between morphs.
  std::string segmentation(std::string_view word) const;

 private:
  struct Node {
    std::int64_t root_count = 0;  // the word's own count in the corpus
    std::int64_t count = 0;       // every occurrence, as a word or inside a split one
    std::uint32_t split = 0;      // 0: a morph; else where the node is split in two
  };
  using Analyses = ConstructionTable<Node>;
  struct Annotation {
    std::u32string word;
    std::vector<std::vector<std::u32string>> analyses;
  };

  std::u32string atoms_of(std::string_view word, bool add);
  std::string text_of(std::u32string_view atoms) const;
  std::u32string_view add_compound(std::u32string&& word, std::int64_t count);
  std::u32string_view stored_word(std::string_view word) const;
  const std::vector<std::u32string>* best_analysis(const Annotation& annotation) const;
  void modify(std::u32string_view construction, std::int64_t delta);
  void update_morph(std::u32string_view morph, std::int64_t old_count, std::int64_t new_count);
  void recursive_split(std::u32string_view construction);
  double split_cost(std::u32string_view prefix, std::u32string_view suffix, std::int64_t count,
                    std::uint64_t prefix_hash, std::uint64_t suffix_hash);
  void grow(std::u32string_view construction, Node& node, std::int64_t delta);
  void append_segmentation(std::u32string_view construction, std::vector<std::u32string_view>& out) const;

  Analyses analyses_;
  std::vector<std::uint64_t> half_hashes_;  // of recursive_split, per split: prefix, suffix
  std::vector<std::pair<Node*, std::int64_t>> undo_;  // of split_cost: each node's count before
  std::deque<std::u32string> words_;  // in the order added, never moved: views of words point here
  ConstructionTable<std::size_t> word_index_;
  std::vector<std::string> alphabet_;  // atom id -> its UTF-8
  std::unordered_map<char32_t, char32_t> atom_ids_;
  std::vector<std::int64_t> atom_counts_;  // per atom id, over the lexicon
  std::int64_t atom_types_ = 0;            // atoms that were ever in the lexicon
  std::vector<bool> atom_seen_;
  Coding corpus_;
  Coding lexicon_;
  Coding annotated_;
  bool supervised_ = false;
  bool fixed_annotation_weight_ = false;
  std::vector<Annotation> annotations_;
  // Keys point into annotations_, which stays put until the next set_annotations.
  ConstructionTable<std::int64_t> annotated_morphs_;
};

}  // namespace morfex::segment
