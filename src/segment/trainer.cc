#include "segment/trainer.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "bpe/utf8.h"
#include "bpe/vocabulary.h"

namespace morfex::segment {
namespace {

constexpr std::size_t kProgressEvery = 512;
constexpr std::string_view kMarker = bpe::kBoundaryMarker;

// Fisher-Yates with a portable draw, so a seed gives the same order on any platform.
void shuffle(std::vector<std::size_t>& order, std::mt19937_64& rng) {
  for (std::size_t i = order.size(); i > 1; --i) {
    const auto j = static_cast<std::size_t>((static_cast<unsigned __int128>(rng()) * i) >> 64);
    std::swap(order[i - 1], order[j]);
  }
}

}  // namespace

std::int64_t dampened(std::int64_t count, Dampening dampening) noexcept {
  switch (dampening) {
    case Dampening::kNone:
      return count;
    case Dampening::kLog:
      // Python's round() of log(count + 1, 2): halves go to the even neighbour.
      return static_cast<std::int64_t>(
          std::nearbyint(std::log(static_cast<double>(count) + 1.0) / std::log(2.0)));
    case Dampening::kOnes:
      break;
  }
  return 1;
}

Trainer::Trainer(double corpus_weight) { corpus_.weight = corpus_weight; }

std::u32string Trainer::atoms_of(std::string_view word, bool add) {
  if (const char* problem = morph_problem(word)) throw InputError("word '" + std::string(word) + "' " + problem);
  std::u32string atoms;
  for (std::size_t pos = 0; pos < word.size();) {
    const std::size_t len = bpe::char_length(word, pos);
    const auto c = static_cast<char32_t>(bpe::scalar_value(word.data() + pos, len));
    auto found = atom_ids_.find(c);
    if (found == atom_ids_.end()) {
      if (!add) return {};
      found = atom_ids_.emplace(c, static_cast<char32_t>(alphabet_.size())).first;
      alphabet_.emplace_back(word.substr(pos, len));
      atom_counts_.push_back(0);
      atom_seen_.push_back(false);
    }
    atoms.push_back(found->second);
    pos += len;
  }
  return atoms;
}

std::string Trainer::text_of(std::u32string_view atoms) const {
  std::string text;
  for (const char32_t atom : atoms) text += alphabet_[atom];
  return text;
}

std::u32string_view Trainer::add_compound(std::u32string&& word, std::int64_t count) {
  const std::size_t* found = word_index_.find(word);
  if (found == nullptr) {
    words_.push_back(std::move(word));
    found = &word_index_.insert(words_.back(), words_.size() - 1);
  }
  const std::u32string_view stored = words_[*found];
  corpus_.boundaries += count;
  modify(stored, count);
  analyses_.find(stored)->root_count += count;
  return stored;
}

void Trainer::add_word(std::string_view word, std::int64_t count) {
  if (count < 1 || count > kMaxCount) {
    throw InputError("the count of word '" + std::string(word) + "' must be from 1 to " + std::to_string(kMaxCount) +
                     ", got " + std::to_string(count));
  }
  add_compound(atoms_of(word, true), count);
}

std::u32string_view Trainer::stored_word(std::string_view word) const {
  std::u32string atoms;
  for (std::size_t pos = 0; pos < word.size();) {
    const std::size_t len = bpe::char_length(word, pos);
    const auto found = atom_ids_.find(static_cast<char32_t>(bpe::scalar_value(word.data() + pos, len)));
    if (found == atom_ids_.end()) return {};
    atoms.push_back(found->second);
    pos += len;
  }
  const std::size_t* found = word_index_.find(atoms);
  return found == nullptr ? std::u32string_view{} : std::u32string_view(words_[*found]);
}

void Trainer::modify(std::u32string_view construction, std::int64_t delta) {
  Node* found = analyses_.find(construction);
  const Node node = found == nullptr ? Node{} : *found;
  const std::int64_t count = node.count + delta;
  if (count == 0) {
    if (found != nullptr) analyses_.erase(found);
  } else if (found != nullptr) {
    found->count = count;
  } else {
    analyses_.insert(construction, Node{0, count, 0});
  }
  if (node.split != 0) {
    modify(construction.substr(0, node.split), delta);
    modify(construction.substr(node.split), delta);
  } else {
    update_morph(construction, node.count, count);
  }
}

void Trainer::update_morph(std::u32string_view morph, std::int64_t old_count, std::int64_t new_count) {
  corpus_.update_count(old_count, new_count);
  if (supervised_) {
    if (const std::int64_t* found = annotated_morphs_.find(morph)) {
      const auto annotated = static_cast<double>(*found);
      annotated_.log_token_sum -= old_count > 0 ? annotated * std::log(static_cast<double>(old_count))
                                                : annotated * kMissingMorphPenalty;
      annotated_.log_token_sum += new_count > 0 ? annotated * std::log(static_cast<double>(new_count))
                                                : annotated * kMissingMorphPenalty;
    }
  }
  if (old_count == 0 && new_count > 0) {
    ++lexicon_.boundaries;
    for (const char32_t atom : morph) {
      std::int64_t& c = atom_counts_[atom];
      if (!atom_seen_[atom]) {
        atom_seen_[atom] = true;
        ++atom_types_;
      }
      lexicon_.update_count(c, c + 1);
      ++c;
    }
  } else if (old_count > 0 && new_count == 0) {
    --lexicon_.boundaries;
    for (const char32_t atom : morph) {
      std::int64_t& c = atom_counts_[atom];
      lexicon_.update_count(c, c - 1);
      --c;
    }
  }
}

double Trainer::cost() const noexcept {
  const double cost = corpus_cost(corpus_, lexicon_.boundaries) + lexicon_cost(lexicon_, atom_types_);
  return supervised_ ? cost + annotated_cost(annotated_, corpus_) : cost;
}

void Trainer::set_analysis(std::string_view word, const std::vector<std::string>& morphs) {
  const std::u32string_view stored = stored_word(word);
  if (stored.empty()) throw InputError("word '" + std::string(word) + "' was not added");
  std::string joined;
  for (const auto& morph : morphs) joined += morph;
  if (joined != word) throw InputError("the morphs of '" + std::string(word) + "' do not spell it");
  std::u32string_view construction = stored;
  for (std::size_t p = 0; p < morphs.size(); ++p) {
    const Node node = *analyses_.find(construction);
    modify(construction, -node.count);
    if (p + 1 == morphs.size()) {
      analyses_.insert(construction, Node{node.root_count, 0, 0});
      modify(construction, node.count);
    } else {
      const auto split = static_cast<std::uint32_t>(atoms_of(morphs[p], false).size());
      analyses_.insert(construction, Node{node.root_count, node.count, split});
      modify(construction.substr(0, split), node.count);
      modify(construction.substr(split), node.count);
      construction = construction.substr(split);
    }
  }
}

void Trainer::set_annotations(const std::vector<GoldWord>& annotations, std::optional<double> weight) {
  annotations_.clear();
  for (const GoldWord& gold : annotations) {
    Annotation annotation{atoms_of(gold.word, true), {}};
    for (const auto& analysis : gold.analyses) {
      std::string joined;
      auto& morphs = annotation.analyses.emplace_back();
      for (const auto& morph : analysis) {
        if (const char* problem = morph_problem(morph)) {
          throw InputError("a morph of the annotation of '" + gold.word + "', '" + morph + "', " + problem);
        }
        joined += morph;
        morphs.push_back(atoms_of(morph, true));
      }
      if (joined != gold.word) {
        std::string spelled;
        for (const auto& morph : analysis) spelled += (spelled.empty() ? "" : std::string(kMarker)) + morph;
        throw InputError("the annotation '" + spelled + "' does not spell its word '" + gold.word + "'");
      }
    }
    if (annotation.analyses.empty()) throw InputError("the annotation of '" + gold.word + "' has no analysis");
    annotations_.push_back(std::move(annotation));
  }
  supervised_ = !annotations_.empty();
  annotated_ = Coding{};
  annotated_.boundaries = static_cast<std::int64_t>(annotations_.size());
  fixed_annotation_weight_ = weight.has_value();
  annotated_.weight = weight.value_or(1.0);
}

const std::vector<std::u32string>* Trainer::best_analysis(const Annotation& annotation) const {
  const std::vector<std::u32string>* best = nullptr;
  double best_cost = 0.0;
  for (const auto& analysis : annotation.analyses) {
    double cost = 0.0;
    for (const auto& morph : analysis) {
      const Node* found = analyses_.find(morph);
      if (found != nullptr && found->split == 0) {
        cost += std::log(static_cast<double>(corpus_.tokens)) - std::log(static_cast<double>(found->count));
      } else {
        cost -= kMissingMorphPenalty;
      }
    }
    if (best == nullptr || cost < best_cost) {
      best_cost = cost;
      best = &analysis;
    }
  }
  return best;
}

void Trainer::update_annotations() {
  if (!supervised_) return;
  // The chosen morphs in the order first met, as their costs are summed in that order.
  std::vector<std::pair<std::u32string_view, std::int64_t>> chosen;
  ConstructionTable<std::size_t> index;
  for (const Annotation& annotation : annotations_) {
    if (analyses_.find(annotation.word) == nullptr) add_compound(std::u32string(annotation.word), 1);
    const std::int64_t root_count = analyses_.find(annotation.word)->root_count;
    for (const auto& morph : *best_analysis(annotation)) {
      const std::size_t* at = index.find(morph);
      if (at == nullptr) {
        at = &index.insert(morph, chosen.size());
        chosen.emplace_back(morph, 0);
      }
      chosen[*at].second += root_count;
    }
  }
  annotated_morphs_ = ConstructionTable<std::int64_t>();
  annotated_.tokens = 0;
  annotated_.log_token_sum = 0.0;
  for (const auto& [morph, annotated] : chosen) {
    annotated_morphs_.insert(morph, annotated);
    annotated_.tokens += annotated;
  }
  for (const auto& [morph, annotated] : chosen) {
    const Node* found = analyses_.find(morph);
    const std::int64_t count = found != nullptr && found->split == 0 ? found->count : 0;
    annotated_.log_token_sum += count > 0 ? static_cast<double>(annotated) * std::log(static_cast<double>(count))
                                          : static_cast<double>(annotated) * kMissingMorphPenalty;
  }
  if (!fixed_annotation_weight_) {
    annotated_.weight =
        corpus_.weight * static_cast<double>(corpus_.boundaries) / static_cast<double>(annotated_.boundaries);
  }
}

void Trainer::recursive_split(std::u32string_view construction) {
  if (construction.size() == 1) return;
  const Node node = *analyses_.find(construction);
  const std::int64_t count = node.count;
  modify(construction, -count);
  // Once removed, the construction is in no map: trying it whole touches the codings alone.
  update_morph(construction, 0, count);
  double best_cost = cost();
  update_morph(construction, count, 0);
  std::uint32_t best = 0;
  // Most halves are new, and finding that out is a wait for memory: ask for all at once.
  const std::size_t n = construction.size();
  half_hashes_.resize(2 * n);
  std::uint64_t prefix_sum = 0;
  std::uint64_t suffix_sum = 0;
  std::uint64_t power = 1;
  for (std::size_t i = 1; i < n; ++i) {
    prefix_sum = prefix_sum * Analyses::kBase + construction[i - 1];
    suffix_sum += construction[n - i] * power;
    power *= Analyses::kBase;
    half_hashes_[2 * i] = Analyses::mix(prefix_sum, i);
    half_hashes_[2 * (n - i) + 1] = Analyses::mix(suffix_sum, i);
  }
  for (std::size_t i = 2; i < 2 * n; ++i) analyses_.prefetch(half_hashes_[i]);
  for (std::uint32_t i = 1; i < n; ++i) {
    const double cost_of_split =
        split_cost(construction.substr(0, i), construction.substr(i), count, half_hashes_[2 * i],
                   half_hashes_[2 * i + 1]);
    // On a tie the later split wins, as in Morfessor.
    if (cost_of_split <= best_cost) {
      best_cost = cost_of_split;
      best = i;
    }
  }
  if (best == 0) {
    analyses_.insert(construction, Node{node.root_count, 0, 0});
    modify(construction, count);
    return;
  }
  analyses_.insert(construction, Node{node.root_count, count, best});
  const std::u32string_view prefix = construction.substr(0, best);
  const std::u32string_view suffix = construction.substr(best);
  modify(prefix, count);
  modify(suffix, count);
  recursive_split(prefix);
  if (suffix != prefix) recursive_split(suffix);
}

// The cost with `count` more of both halves. Nothing is stored or removed:
// a half that is new is only counted in the codings, the children of a
// stored split are stored already, and afterwards every count and coding
// is put back as it was, rather than updated back, which is both faster and
// exact.
double Trainer::split_cost(std::u32string_view prefix, std::u32string_view suffix, std::int64_t count,
                           std::uint64_t prefix_hash, std::uint64_t suffix_hash) {
  Node* const stored_prefix = analyses_.find(prefix, prefix_hash);
  Node* const stored_suffix = analyses_.find(suffix, suffix_hash);
  const Coding corpus = corpus_;
  const Coding lexicon = lexicon_;
  const Coding annotated = annotated_;
  undo_.clear();
  const bool same_new_half = stored_prefix == nullptr && stored_suffix == nullptr && prefix == suffix;
  if (stored_prefix != nullptr) {
    grow(prefix, *stored_prefix, count);
  } else {
    update_morph(prefix, 0, count);
  }
  if (stored_suffix != nullptr) {
    grow(suffix, *stored_suffix, count);
  } else if (same_new_half) {
    update_morph(suffix, count, 2 * count);
  } else {
    update_morph(suffix, 0, count);
  }
  const double result = cost();
  for (auto undo = undo_.rbegin(); undo != undo_.rend(); ++undo) undo->first->count = undo->second;
  if (stored_prefix == nullptr) {
    for (const char32_t atom : prefix) --atom_counts_[atom];
  }
  if (stored_suffix == nullptr && !same_new_half) {
    for (const char32_t atom : suffix) --atom_counts_[atom];
  }
  corpus_ = corpus;
  lexicon_ = lexicon;
  annotated_ = annotated;
  return result;
}

// modify() for a stored node and a positive delta, which never stores or
// removes a node; each count it changes goes on the undo list.
void Trainer::grow(std::u32string_view construction, Node& node, std::int64_t delta) {
  undo_.emplace_back(&node, node.count);
  const std::int64_t old_count = node.count;
  node.count += delta;
  if (node.split != 0) {
    const std::u32string_view prefix = construction.substr(0, node.split);
    const std::u32string_view suffix = construction.substr(node.split);
    grow(prefix, *analyses_.find(prefix), delta);
    grow(suffix, *analyses_.find(suffix), delta);
  } else {
    update_morph(construction, old_count, node.count);
  }
}

TrainingSummary Trainer::train(const TrainerOptions& options, const EpochProgress& progress) {
  corpus_.weight = options.corpus_weight;
  std::mt19937_64 rng(options.seed);
  TrainingSummary summary;
  // Morfessor's epoch update: the annotations' choices and weight, before the first epoch and after each.
  update_annotations();
  // The first epoch never ends training, whatever it gains.
  bool forced = true;
  double new_cost = cost();
  std::vector<std::size_t> order(words_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  while (true) {
    shuffle(order, rng);
    for (std::size_t done = 0; done < order.size(); ++done) {
      if (progress && done % kProgressEvery == 0) progress(summary.epochs, done, order.size());
      recursive_split(words_[order[done]]);
    }
    ++summary.epochs;
    if (progress) progress(summary.epochs - 1, order.size(), order.size());
    update_annotations();
    const double old_cost = new_cost;
    new_cost = cost();
    if (!forced && new_cost >= old_cost - options.finish_threshold * static_cast<double>(corpus_.boundaries)) {
      break;
    }
    forced = false;
    if (options.max_epochs != 0 && summary.epochs >= options.max_epochs) break;
  }
  summary.cost = new_cost;
  return summary;
}

MorphCounts Trainer::counts() const {
  MorphCounts counts;
  analyses_.for_each([&](std::u32string_view construction, const Node& node) {
    if (node.split == 0) counts.morphs.emplace_back(text_of(construction), node.count);
  });
  std::sort(counts.morphs.begin(), counts.morphs.end());
  counts.words = corpus_.boundaries;
  counts.corpus_weight = corpus_.weight;
  return counts;
}

void Trainer::append_segmentation(std::u32string_view construction, std::vector<std::u32string_view>& out) const {
  const Node& node = *analyses_.find(construction);
  if (node.split == 0) {
    out.push_back(construction);
    return;
  }
  append_segmentation(construction.substr(0, node.split), out);
  append_segmentation(construction.substr(node.split), out);
}

std::string Trainer::segmentation(std::string_view word) const {
  const std::u32string_view stored = stored_word(word);
  if (stored.empty()) throw InputError("word '" + std::string(word) + "' was not trained on");
  std::vector<std::u32string_view> morphs;
  append_segmentation(stored, morphs);
  std::string out;
  for (const auto morph : morphs) out += (out.empty() ? "" : std::string(kMarker)) + text_of(morph);
  return out;
}

}  // namespace morfex::segment
