#include "segment/morph_counts.h"

#include <cmath>

#include "bpe/utf8.h"

namespace morfex::segment {

bool is_space(std::uint32_t c) noexcept {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

const char* morph_problem(std::string_view morph) noexcept {
  if (morph.empty()) return "is empty";
  for (std::size_t pos = 0; pos < morph.size();) {
    const std::size_t len = bpe::char_length(morph, pos);
    const std::uint32_t c = bpe::scalar_value(morph.data() + pos, len);
    if (c == bpe::kNotScalar) return "is not valid UTF-8";
    if (c == 0x2581) return "holds the morpheme marker U+2581";
    if (is_space(c)) return "holds whitespace";
    pos += len;
  }
  return nullptr;
}

void check_counts(const MorphCounts& counts) {
  if (counts.morphs.empty()) throw InputError("there are no morphs");
  if (counts.words < 1 || counts.words > kMaxCount) {
    throw InputError("the number of words must be from 1 to " + std::to_string(kMaxCount) + ", got " +
                     std::to_string(counts.words));
  }
  if (!(counts.corpus_weight > 0.0) || std::isinf(counts.corpus_weight)) {
    throw InputError("the corpus weight must be a positive finite number, got " + std::to_string(counts.corpus_weight));
  }
  std::int64_t total = 0;
  for (std::size_t i = 0; i < counts.morphs.size(); ++i) {
    const auto& [morph, count] = counts.morphs[i];
    if (const char* problem = morph_problem(morph)) throw InputError("morph '" + morph + "' " + problem);
    if (i > 0 && !(counts.morphs[i - 1].first < morph)) {
      throw InputError("morph '" + morph + "' is out of order or repeated");
    }
    if (count < 1 || count > kMaxCount - total) {
      throw InputError("the count of morph '" + morph + "' must be from 1 to " + std::to_string(kMaxCount) +
                       " in all, got " + std::to_string(count));
    }
    total += count;
  }
  // Every word holds at least one morph.
  if (total < counts.words) {
    throw InputError("the morph counts add up to " + std::to_string(total) + ", fewer than the " +
                     std::to_string(counts.words) + " words");
  }
}

}  // namespace morfex::segment
