#include "train/trainer.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "bpe/utf8.h"
#include "bpe/vocabulary.h"
#include "train/alphabet.h"
#include "train/pair_queue.h"
#include "train/units.h"

namespace morfex::train {

namespace {

using bpe::TokenId;

struct KeyHash {
  std::size_t operator()(PairKey key) const noexcept {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 17);
  }
};

// "<0x41>": the byte tokens are spelled in upper-case hex, as sentencepiece does.
std::string byte_token(unsigned byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return {'<', '0', 'x', kHex[byte >> 4], kHex[byte & 15], '>'};
}

// Progress is reported about this many times over a run.
constexpr std::size_t kProgressSteps = 200;
// Positions visited between two polls.
constexpr std::size_t kPollPositions = std::size_t{1} << 16;

class Trainer {
 public:
  Trainer(const MorphemeCounts& morphemes, const TrainOptions& options, const Poll& poll);
  TrainedModel run(const Progress& progress);

 private:
  // Counts visited positions and polls after every kPollPositions of them.
  void visited(std::size_t positions) {
    unpolled_ += positions;
    if (unpolled_ < kPollPositions) return;
    unpolled_ = 0;
    if (poll_) poll_();
  }
  TokenId add_token(std::string token);
  void split_into_units(const MorphemeCounts& morphemes);
  void count_pairs();
  // Merges (left, right) everywhere and refreshes the counts of the pairs around it.
  void apply(PairKey key, TokenId merged);
  Count live_count(PairKey key) const;

  TrainOptions options_;
  const Poll& poll_;
  std::size_t unpolled_ = 0;
  TrainedModel model_;
  bpe::StringMap<TokenId> ids_;
  // Tokens that a merge must never spell: the special and the byte tokens.
  std::unordered_set<std::string, bpe::StringHash, std::equal_to<>> reserved_;
  std::size_t base_size_ = 0;
  Units units_;
  std::unordered_map<PairKey, Count, KeyHash> counts_;
  // Where the pair started when it was counted; some positions may have lost it since.
  std::unordered_map<PairKey, std::vector<Units::Position>, KeyHash> where_;
  std::unordered_set<PairKey, KeyHash> banned_;
  std::unordered_set<PairKey, KeyHash> emitted_;
  std::vector<PairKey> grown_;
  PairQueue queue_;
};

Trainer::Trainer(const MorphemeCounts& morphemes, const TrainOptions& options, const Poll& poll)
    : options_(options), poll_(poll) {
  for (const char* special : bpe::kSpecialTokens) {
    add_token(special);
    reserved_.emplace(special);
  }
  add_token(std::string(bpe::kBoundaryMarker));
  if (options.byte_fallback) {
    for (unsigned byte = 0; byte < 256; ++byte) {
      reserved_.insert(byte_token(byte));
      add_token(byte_token(byte));
    }
  }
  for (std::string& ch : choose_alphabet(morphemes, options.alphabet_limit)) {
    add_token(std::move(ch));
  }
  base_size_ = model_.tokens.size();
  split_into_units(morphemes);
  count_pairs();
}

TokenId Trainer::add_token(std::string token) {
  const auto id = static_cast<TokenId>(model_.tokens.size());
  ids_.emplace(token, id);
  model_.tokens.push_back(std::move(token));
  return id;
}

void Trainer::split_into_units(const MorphemeCounts& morphemes) {
  std::vector<TokenId> run;
  for (const auto& [morpheme, count] : morphemes) {
    const std::string_view text = morpheme;
    run.clear();
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t len = bpe::char_length(text, pos);
      const auto it = ids_.find(text.substr(pos, len));
      pos += len;
      visited(1);
      if (it != ids_.end()) {
        run.push_back(it->second);
      } else {
        // A character outside the alphabet becomes <unk>, which never merges.
        units_.add(run, count);
        run.clear();
      }
    }
    units_.add(run, count);
  }
}

void Trainer::count_pairs() {
  units_.for_each_pair([this](PairKey key, Units::Position at, Count count) {
    counts_[key] += count;
    where_[key].push_back(at);
    visited(1);
  });
  for (const auto& [key, count] : counts_) queue_.push(count, key);
}

Count Trainer::live_count(PairKey key) const {
  const auto it = counts_.find(key);
  return it == counts_.end() ? 0 : it->second;
}

void Trainer::apply(PairKey key, TokenId merged) {
  const auto found = where_.find(key);
  std::vector<Units::Position> positions = std::move(found->second);
  where_.erase(found);
  // In array order, so each unit merges leftmost first.
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  grown_.clear();
  for (const Units::Position at : positions) {
    visited(1);
    const Count count = units_.count_at(at);
    units_.merge_at(
        at, pair_left(key), pair_right(key), merged,
        [&](PairKey gone) {
          const auto it = counts_.find(gone);
          if (it == counts_.end()) return;  // a banned pair, no longer counted
          it->second -= count;
          if (it->second == 0) {
            counts_.erase(it);
            where_.erase(gone);
          }
        },
        [&](PairKey fresh, Units::Position fresh_at) {
          if (!banned_.empty() && banned_.contains(fresh)) return;
          counts_[fresh] += count;
          where_[fresh].push_back(fresh_at);
          grown_.push_back(fresh);
        });
  }
  std::sort(grown_.begin(), grown_.end());
  grown_.erase(std::unique(grown_.begin(), grown_.end()), grown_.end());
  // A pair made and undone again within this merge has no count left to queue.
  for (const PairKey fresh : grown_) {
    visited(1);
    const Count live = live_count(fresh);
    if (live > 0) queue_.push(live, fresh);
  }
}

TrainedModel Trainer::run(const Progress& progress) {
  const std::size_t wanted = options_.vocab_size > base_size_ ? options_.vocab_size - base_size_ : 0;
  const std::size_t step = std::max<std::size_t>(1, wanted / kProgressSteps);
  const Count min_frequency = std::max<Count>(1, options_.min_frequency);
  std::size_t reported = 0;
  while (model_.tokens.size() < base_size_ + wanted) {
    const auto best = queue_.pop_best([this](PairKey key) { return live_count(key); });
    if (!best || best->count < min_frequency) break;
    const PairKey key = best->key;
    std::string joined = model_.tokens[pair_left(key)] + model_.tokens[pair_right(key)];
    if (reserved_.contains(joined)) {
      banned_.insert(key);
      counts_.erase(key);
      where_.erase(key);
      continue;
    }
    // Two different pairs can spell the same string; they share one token.
    const auto existing = ids_.find(joined);
    const TokenId merged = existing != ids_.end() ? existing->second : add_token(joined);
    if (emitted_.insert(key).second) {
      model_.merges.emplace_back(model_.tokens[pair_left(key)], model_.tokens[pair_right(key)]);
    }
    apply(key, merged);
    const std::size_t added = model_.tokens.size() - base_size_;
    if (progress && added >= reported + step) {
      reported = added;
      progress(added, wanted);
    }
  }
  if (progress) progress(model_.tokens.size() - base_size_, wanted);
  return std::move(model_);
}

}  // namespace

TrainedModel train(const MorphemeCounts& morphemes, const TrainOptions& options,
                   const Progress& progress, const Poll& poll) {
  return Trainer(morphemes, options, poll).run(progress);
}

}  // namespace morfex::train
