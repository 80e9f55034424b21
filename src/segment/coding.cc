#include "segment/coding.h"

#include <cmath>
#include <numbers>

namespace morfex::segment {
namespace {

// Tables of both functions up to here (16 MB in all), built once for the
// process on first use: each cost takes about ten of these.
constexpr std::int64_t kTabled = 1 << 20;

double computed_log_factorial(std::int64_t n) noexcept {
  if (n < 2) return 0.0;
  if (n < 20) {
    std::uint64_t factorial = 1;
    for (std::int64_t k = 2; k <= n; ++k) factorial *= static_cast<std::uint64_t>(k);
    return std::log(static_cast<double>(factorial));
  }
  static const double log_2pi = std::log(2 * std::numbers::pi);
  const auto x = static_cast<double>(n);
  const double log_n = std::log(x);
  return x * log_n - x + 0.5 * (log_n + log_2pi);
}

// Python's float(n) * math.log(n); 0 for n = 0, where Morfessor never asks.
double computed_count_log_count(std::int64_t n) noexcept {
  return n < 2 ? 0.0 : static_cast<double>(n) * std::log(static_cast<double>(n));
}

template <double (*Function)(std::int64_t) noexcept>
const std::vector<double>& table() {
  static const std::vector<double> values = [] {
    std::vector<double> filled(kTabled);
    for (std::int64_t n = 0; n < kTabled; ++n) filled[static_cast<std::size_t>(n)] = Function(n);
    return filled;
  }();
  return values;
}

double n_log_n(std::int64_t n) noexcept { return count_log_count(n); }

}  // namespace

double log_factorial(std::int64_t n) noexcept {
  if (n >= 0 && n < kTabled) return table<computed_log_factorial>()[static_cast<std::size_t>(n)];
  return computed_log_factorial(n);
}

double count_log_count(std::int64_t n) noexcept {
  if (n >= 0 && n < kTabled) return table<computed_count_log_count>()[static_cast<std::size_t>(n)];
  return computed_count_log_count(n);
}

void Coding::update_count(std::int64_t old_count, std::int64_t new_count) noexcept {
  tokens += new_count - old_count;
  if (old_count > 1) log_token_sum -= count_log_count(old_count);
  if (new_count > 1) log_token_sum += count_log_count(new_count);
}

double corpus_cost(const Coding& corpus, std::int64_t morph_types) noexcept {
  if (corpus.boundaries == 0) return 0.0;
  const std::int64_t n = corpus.tokens + corpus.boundaries;
  // The types of the corpus are the morphs and the end of a word.
  const std::int64_t types = morph_types + 1;
  const double distribution = types < 2 ? 0.0
                                        : log_factorial(corpus.tokens - 1) - log_factorial(types - 2) -
                                              log_factorial(corpus.tokens - types + 1);
  return (n_log_n(n) - n_log_n(corpus.boundaries) - corpus.log_token_sum) * corpus.weight + distribution;
}

double lexicon_cost(const Coding& lexicon, std::int64_t atom_types) noexcept {
  if (lexicon.boundaries == 0) return 0.0;
  const std::int64_t n = lexicon.tokens + lexicon.boundaries;
  // The types of the lexicon are the atoms and the end of a morph.
  const std::int64_t types = atom_types + 1;
  const double distribution =
      types < 2 ? 0.0 : log_factorial(n - 1) - log_factorial(types - 1) - log_factorial(n - types);
  const double permutations = -log_factorial(lexicon.boundaries);
  return (n_log_n(n) - n_log_n(lexicon.boundaries) - lexicon.log_token_sum + permutations) * lexicon.weight +
         distribution;
}

double annotated_cost(const Coding& annotated, const Coding& corpus) noexcept {
  if (annotated.boundaries == 0) return 0.0;
  const auto n = static_cast<double>(annotated.tokens + annotated.boundaries);
  return (n * std::log(static_cast<double>(corpus.tokens + corpus.boundaries)) -
          static_cast<double>(annotated.boundaries) * std::log(static_cast<double>(corpus.boundaries)) -
          annotated.log_token_sum) *
         annotated.weight;
}

}  // namespace morfex::segment
