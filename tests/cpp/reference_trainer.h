#pragma once

// A deliberately plain trainer for differential tests: it recounts every pair
// from scratch before each merge and works on token strings.

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bpe/utf8.h"
#include "bpe/vocabulary.h"
#include "train/alphabet.h"
#include "train/trainer.h"

namespace morfex::train::reference {

inline TrainedModel train(const MorphemeCounts& morphemes, const TrainOptions& options) {
  TrainedModel model;
  std::map<std::string, std::size_t> ids;
  const auto add = [&](const std::string& token) {
    ids.emplace(token, model.tokens.size());
    model.tokens.push_back(token);
  };
  for (const char* special : bpe::kSpecialTokens) add(special);
  add(std::string(bpe::kBoundaryMarker));
  std::set<std::string> reserved(bpe::kSpecialTokens.begin(), bpe::kSpecialTokens.end());
  if (options.byte_fallback) {
    for (int byte = 0; byte < 256; ++byte) {
      char spelled[8];
      std::snprintf(spelled, sizeof spelled, "<0x%02X>", byte);
      add(spelled);
      reserved.insert(spelled);
    }
  }
  for (const auto& ch : choose_alphabet(morphemes, options.alphabet_limit)) add(ch);
  const std::size_t base = model.tokens.size();

  std::vector<std::pair<std::vector<std::size_t>, Count>> words;
  for (const auto& [morpheme, count] : morphemes) {
    std::vector<std::size_t> run;
    const std::string_view text = morpheme;
    for (std::size_t pos = 0; pos <= text.size();) {
      const std::size_t len = pos < text.size() ? bpe::char_length(text, pos) : 0;
      const auto it = len ? ids.find(std::string(text.substr(pos, len))) : ids.end();
      if (it != ids.end()) {
        run.push_back(it->second);
      } else {
        words.emplace_back(run, count);
        run.clear();
      }
      pos += len ? len : 1;
    }
  }

  std::set<std::pair<std::size_t, std::size_t>> banned, emitted;
  while (model.tokens.size() < std::max(options.vocab_size, base)) {
    std::map<std::pair<std::size_t, std::size_t>, Count> counts;
    for (const auto& [symbols, count] : words) {
      for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
        if (!banned.contains({symbols[i], symbols[i + 1]})) counts[{symbols[i], symbols[i + 1]}] += count;
      }
    }
    std::pair<std::size_t, std::size_t> best;
    Count best_count = 0;
    for (const auto& [pair, count] : counts) {
      if (count > best_count) {
        best = pair;
        best_count = count;
      }
    }
    if (best_count == 0 || best_count < std::max<Count>(1, options.min_frequency)) break;
    const std::string joined = model.tokens[best.first] + model.tokens[best.second];
    if (reserved.contains(joined)) {
      banned.insert(best);
      continue;
    }
    if (!ids.contains(joined)) add(joined);
    const std::size_t merged = ids.at(joined);
    if (emitted.insert(best).second) {
      model.merges.emplace_back(model.tokens[best.first], model.tokens[best.second]);
    }
    for (auto& [symbols, count] : words) {
      std::vector<std::size_t> out;
      for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (i + 1 < symbols.size() && symbols[i] == best.first && symbols[i + 1] == best.second) {
          out.push_back(merged);
          ++i;
        } else {
          out.push_back(symbols[i]);
        }
      }
      symbols = std::move(out);
    }
  }
  return model;
}

}  // namespace morfex::train::reference
