#include "train/corpus.h"

#include "bpe/vocabulary.h"

namespace morfex::train {

namespace {

std::string quoted(std::string_view text) {
  std::string out = "'";
  out.append(text);
  out.push_back('\'');
  return out;
}

Count parse_count(std::string_view digits, std::size_t line) {
  Count value = 0;
  bool valid = !digits.empty() && digits.size() <= 10;
  for (char c : digits) {
    if (c < '0' || c > '9') {
      valid = false;
      break;
    }
    value = value * 10 + static_cast<Count>(c - '0');
  }
  if (!valid || value == 0 || value > kMaxLineCount) {
    throw CorpusError(line, "count " + quoted(digits) + " is not an integer from 1 to " +
                                std::to_string(kMaxLineCount));
  }
  return value;
}

}  // namespace

CorpusError::CorpusError(std::size_t line, const std::string& what)
    : std::runtime_error("line " + std::to_string(line) + ": " + what), line_(line) {}

void add_morphemes(MorphemeCounts& counts, std::string_view word, Count count) {
  std::size_t start = 0;
  while (start <= word.size()) {
    std::size_t end = word.find(bpe::kBoundaryMarker, start);
    if (end == std::string_view::npos) end = word.size();
    if (end > start) {
      const std::string_view morpheme = word.substr(start, end - start);
      auto it = counts.find(morpheme);
      if (it == counts.end()) {
        counts.emplace(std::string(morpheme), count);
      } else {
        it->second += count;
      }
    }
    start = end + bpe::kBoundaryMarker.size();
  }
}

MorphemeCounts count_morphemes(std::string_view corpus) {
  MorphemeCounts counts;
  std::size_t line_number = 0;
  std::size_t pos = 0;
  while (pos < corpus.size()) {
    std::size_t end = corpus.find('\n', pos);
    if (end == std::string_view::npos) end = corpus.size();
    std::string_view line = corpus.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    Count count = 1;
    const std::size_t tab = line.rfind('\t');
    if (tab != std::string_view::npos) {
      count = parse_count(line.substr(tab + 1), line_number);
      line = line.substr(0, tab);
      if (line.empty()) throw CorpusError(line_number, "empty word before the count");
    }
    add_morphemes(counts, line, count);
  }
  return counts;
}

}  // namespace morfex::train
