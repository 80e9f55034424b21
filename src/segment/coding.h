#pragma once

#include <cstdint>
#include <vector>

namespace morfex::segment {

// The code lengths of Morfessor 2.0 Baseline, kept up to date count by count
// and summed by the same floating-point operations in the same order as
// Morfessor 2.0.6, so a cost agrees with its to the last few bits.

// log(n!): exact below 20, Stirling's approximation from there.
double log_factorial(std::int64_t n) noexcept;

// n * log(n), looked up for small n: training asks for it millions of times.
double count_log_count(std::int64_t n) noexcept;

// What every code length counts: tokens, boundaries (the ends of words or
// of morphs) and the sum of count * log(count) over the types.
struct Coding {
  double log_token_sum = 0.0;
  std::int64_t tokens = 0;
  std::int64_t boundaries = 0;
  double weight = 1.0;

  void update_count(std::int64_t old_count, std::int64_t new_count) noexcept;
};

// The corpus: the morph tokens of every word; `morph_types` is the size of
// the lexicon.
double corpus_cost(const Coding& corpus, std::int64_t morph_types) noexcept;

// The lexicon: the atoms (code points) of every morph type. `atom_types`
// counts every atom that ever was in the lexicon, as Morfessor's counter
// keeps an atom whose count fell to zero.
double lexicon_cost(const Coding& lexicon, std::int64_t atom_types) noexcept;

// The annotated words: the morphs of their chosen analyses, each coded with
// the corpus's probability for it; `log_token_sum` holds the annotated
// count times log(corpus count), or times kMissingMorphPenalty for a morph
// not in the lexicon.
double annotated_cost(const Coding& annotated, const Coding& corpus) noexcept;

inline constexpr double kMissingMorphPenalty = -9999.9;

}  // namespace morfex::segment
