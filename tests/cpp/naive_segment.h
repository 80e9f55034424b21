#pragma once

// Morfessor's viterbi_segment transcribed as plainly as possible, for
// differential tests and the fuzzer: costs recomputed from the counts for
// every candidate, ends in the outer loop, its own std::map tables.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "segment/morph_counts.h"

namespace morfex::segment::naive {

// The code points of `s`; a byte that starts no shortest-form UTF-8
// character stands for itself as U+DC80..U+DCFF, as Python's surrogateescape
// reads it, a code point that no morph (always valid UTF-8) can hold.
inline std::u32string code_points(std::string_view s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t len = b < 0x80 ? 1 : b >= 0xC2 && b < 0xE0 ? 2 : b >= 0xE0 && b < 0xF0 ? 3 : b >= 0xF0 && b < 0xF5 ? 4 : 0;
    char32_t c = len == 1 ? b : b & (0x7F >> len);
    bool valid = len != 0 && i + len <= s.size();
    for (std::size_t k = 1; valid && k < len; ++k) {
      const auto next = static_cast<unsigned char>(s[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && c >= kSmallest[len] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
    out.push_back(valid ? c : 0xDC00 | b);
    i += valid ? len : 1;
  }
  return out;
}

// The bytes code_points read.
inline std::string bytes_of(const std::u32string& s) {
  std::string out;
  for (const char32_t c : s) {
    if (c < 0x80 || (c >= 0xDC80 && c <= 0xDCFF)) {
      out += static_cast<char>(c & 0xFF);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// `word_utf8` split by Viterbi over the model's costs (addcount 1, maxlen
// 30), U+2581 between the morphs; on a tie the first start wins.
inline std::string segment(const MorphCounts& model, std::string_view word_utf8) {
  std::map<std::u32string, std::int64_t> counts;
  std::map<char32_t, std::int64_t> atoms;
  std::int64_t tokens = 0;
  std::int64_t lexicon_tokens = 0;
  for (const auto& [morph, count] : model.morphs) {
    const std::u32string m = code_points(morph);
    counts[m] = count;
    tokens += count;
    for (const char32_t c : m) ++atoms[c];
    lexicon_tokens += static_cast<std::int64_t>(m.size());
  }
  const auto boundaries = static_cast<std::int64_t>(counts.size());
  const double addcount = 1.0;
  const double logtokens = std::log(static_cast<double>(tokens + model.words) + addcount);
  const std::u32string word = code_points(word_utf8);
  const std::size_t n = word.size();
  std::vector<double> cost_to(n + 1, 0.0);
  std::vector<std::size_t> path(n + 1, 0);
  for (std::size_t t = 1; t <= n; ++t) {
    bool have = false;
    for (std::size_t pt = t > 30 ? t - 30 : 0; pt < t; ++pt) {
      double cost = cost_to[pt];
      const std::u32string construction = word.substr(pt, t - pt);
      if (const auto found = counts.find(construction); found != counts.end()) {
        cost += (logtokens - std::log(static_cast<double>(found->second) + addcount));
      } else {
        const auto l = static_cast<std::int64_t>(construction.size()) + 1;
        double codelength = static_cast<double>(l) * std::log(static_cast<double>(lexicon_tokens + l));
        codelength -= std::log(static_cast<double>(boundaries + 1));
        for (const char32_t atom : construction) {
          const auto found_atom = atoms.find(atom);
          codelength -= std::log(static_cast<double>(found_atom == atoms.end() ? 1 : found_atom->second));
        }
        const auto b = static_cast<double>(boundaries);
        cost += (logtokens - std::log(addcount) +
                 (((b + addcount) * std::log(b + addcount)) - (b * std::log(b)) + codelength) / 1.0);
      }
      if (!have || cost < cost_to[t]) {
        have = true;
        cost_to[t] = cost;
        path[t] = pt;
      }
    }
  }
  std::vector<std::u32string> parts;
  for (std::size_t t = n; t > 0; t = path[t]) parts.insert(parts.begin(), word.substr(path[t], t - path[t]));
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "\xE2\x96\x81" : "") + bytes_of(parts[i]);
  return out;
}

}  // namespace morfex::segment::naive
