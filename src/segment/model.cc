#include "segment/model.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "bpe/small_vector.h"
#include "bpe/utf8.h"
#include "bpe/vocabulary.h"

namespace morfex::segment {
namespace {

constexpr std::uint32_t kNoAtom = 0x110000;  // stands for any byte outside valid UTF-8
constexpr std::uint32_t kNoNode = UINT32_MAX;
constexpr std::string_view kMarker = bpe::kBoundaryMarker;

std::uint64_t edge_key(std::uint32_t node, std::uint32_t atom) noexcept {
  return (static_cast<std::uint64_t>(node) << 22) | atom;
}

std::uint32_t atom_at(std::string_view text, std::size_t pos, std::size_t& len) noexcept {
  len = bpe::char_length(text, pos);
  const std::uint32_t c = bpe::scalar_value(text.data() + pos, len);
  if (c != bpe::kNotScalar) return c;
  len = 1;
  return kNoAtom;
}

}  // namespace

// A call's working memory. It lives on the stack, inline for words of up to
// kInlineAtoms characters: a worker thread then needs no memory of its own
// (thread-local storage would be allocated where a failure cannot be reported).
constexpr std::size_t kInlineAtoms = 64;
struct Model::Scratch {
  bpe::SmallVector<std::uint32_t, kInlineAtoms> atoms;
  bpe::SmallVector<std::size_t, kInlineAtoms + 1> offsets;  // of each atom's first byte, and the end
  bpe::SmallVector<double, kInlineAtoms> log_counts;
  bpe::SmallVector<double, kInlineAtoms + 1> best;
  bpe::SmallVector<std::size_t, kInlineAtoms + 1> from;
  bpe::SmallVector<std::size_t, kInlineAtoms> cuts;
};

Model::Model(MorphCounts counts) : counts_(std::move(counts)) {
  check_counts(counts_);
  std::size_t atoms = 0;
  for (const auto& entry : counts_.morphs) atoms += entry.first.size();
  edges_ = KeyTable<std::uint32_t>(atoms);
  KeyTable<std::int64_t> atom_counts(atoms);
  std::int64_t tokens = 0;
  std::int64_t lexicon_tokens = 0;
  std::vector<std::uint32_t> seen;
  morph_cost_.push_back(std::numeric_limits<double>::quiet_NaN());
  for (const auto& [morph, count] : counts_.morphs) tokens += count;
  // Python adds the int counts first and converts the sum to float once.
  log_tokens_ = std::log(static_cast<double>(tokens + counts_.words) + 1.0);
  for (const auto& [morph, count] : counts_.morphs) {
    std::uint32_t node = 0;
    for (std::size_t pos = 0, len = 0; pos < morph.size(); pos += len) {
      const std::uint32_t atom = atom_at(morph, pos, len);
      ++lexicon_tokens;
      if (const std::int64_t* c = atom_counts.get(atom)) {
        atom_counts.put(atom, *c + 1);
      } else {
        atom_counts.put(atom, 1);
        seen.push_back(atom);
      }
      if (const std::uint32_t* child = edges_.get(edge_key(node, atom))) {
        node = *child;
      } else {
        const auto added = static_cast<std::uint32_t>(morph_cost_.size());
        edges_.put(edge_key(node, atom), added);
        morph_cost_.push_back(std::numeric_limits<double>::quiet_NaN());
        node = added;
      }
    }
    morph_cost_[node] = log_tokens_ - std::log(static_cast<double>(count) + 1.0);
  }
  atom_log_counts_ = KeyTable<double>(seen.size());
  for (const std::uint32_t atom : seen) {
    atom_log_counts_.put(atom, std::log(static_cast<double>(*atom_counts.get(atom))));
  }
  // The parts of the cost of a morph not in the lexicon that do not depend
  // on the morph, in Morfessor's order of operations.
  const auto types = static_cast<double>(counts_.morphs.size());
  lexicon_term_ = (types + 1.0) * std::log(types + 1.0) - types * std::log(types);
  for (std::size_t length = 1; length <= kMaxMorphLength; ++length) {
    const auto l = static_cast<std::int64_t>(length) + 1;
    codelength_start_[length] = static_cast<double>(l) * std::log(static_cast<double>(lexicon_tokens + l)) -
                                std::log(types + 1.0);
  }
}

double Model::new_morph_cost(const Scratch& scratch, std::size_t start, std::size_t end) const noexcept {
  double codelength = codelength_start_[end - start];
  for (std::size_t i = start; i < end; ++i) codelength -= scratch.log_counts.data()[i];
  // Dividing by a weight of 1 changes nothing, so unweighted models segment as before.
  return log_tokens_ + (lexicon_term_ + codelength) / counts_.corpus_weight;
}

void Model::segment(std::string_view word, std::string& out) const {
  if (word.empty()) return;
  Scratch scratch;
  for (std::size_t pos = 0, len = 0; pos < word.size(); pos += len) {
    const std::uint32_t atom = atom_at(word, pos, len);
    scratch.atoms.push_back(atom);
    scratch.offsets.push_back(pos);
    // An atom the lexicon lacks counts as 1, whose log is 0.
    const double* log_count = atom_log_counts_.get(atom);
    scratch.log_counts.push_back(log_count == nullptr ? 0.0 : *log_count);
  }
  scratch.offsets.push_back(word.size());
  const std::size_t n = scratch.atoms.size();
  double* best = scratch.best.extend(n + 1, 0);
  std::size_t* from = scratch.from.extend(n + 1, 0);
  std::fill(best, best + n + 1, std::numeric_limits<double>::infinity());
  std::fill(from, from + n + 1, std::size_t{0});
  best[0] = 0.0;
  // Each end takes the first start, in rising order, of the cheapest path:
  // pushing forward from each start in turn offers them in that order.
  for (std::size_t start = 0; start < n; ++start) {
    const double base = best[start];
    std::uint32_t node = 0;
    const std::size_t last = std::min(n, start + kMaxMorphLength);
    for (std::size_t end = start + 1; end <= last; ++end) {
      if (node != kNoNode) {
        const std::uint32_t* child = edges_.get(edge_key(node, scratch.atoms.data()[end - 1]));
        node = child == nullptr ? kNoNode : *child;
      }
      const double known = node == kNoNode ? std::numeric_limits<double>::quiet_NaN() : morph_cost_[node];
      const double cost = base + (std::isnan(known) ? new_morph_cost(scratch, start, end) : known);
      if (cost < best[end]) {
        best[end] = cost;
        from[end] = start;
      }
    }
  }
  for (std::size_t end = n; end > 0; end = from[end]) scratch.cuts.push_back(from[end]);
  std::size_t done = 0;
  for (std::size_t k = scratch.cuts.size(); k-- > 0;) {
    const std::size_t at = scratch.offsets.data()[scratch.cuts.data()[k]];
    if (at > 0) {
      out.append(word.substr(done, at - done));
      out.append(kMarker);
      done = at;
    }
  }
  out.append(word.substr(done));
}

}  // namespace morfex::segment
