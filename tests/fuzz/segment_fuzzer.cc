// libFuzzer harness for the morph segmenter. The input is read as a recipe:
// a switch byte, then either a segmentation file of any bytes, which must
// load or fail with an InputError naming one of its lines, or a small model
// over letters of one to four bytes, written out as the text of its
// segmentation file (with comments, blank lines and trailing whitespace)
// and read back, or given as morph counts directly. Then words, valid UTF-8
// or not, some past the longest morph considered: each must segment as the
// plain Viterbi does, and give the word back without the markers.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../cpp/naive_bpe.h"
#include "../cpp/naive_segment.h"
#include "fuzz_input.h"
#include "segment/model.h"
#include "segment/segmentation_file.h"

namespace {

namespace segment = morfex::segment;
using morfex::fuzz::broken;
using morfex::fuzz::Reader;

// Letters of one to four bytes; with only the first two in use, many morphs
// tie in cost.
constexpr std::array<std::string_view, 7> kLetters = {
    "a", "b", "k", "\xC4\x85", "\xE2\x82\xAC", "\xF0\x9D\x84\x9E", "+"};
// What words hold besides: a letter no morph has, a stray byte, a cut-off
// character, a surrogate, an overlong form and the marker.
constexpr std::array<std::string_view, 6> kWordOnly = {"Q", "\xFF", "\xE2\x96", "\xED\xA0\x80", "\xC0\xAF",
                                                      "\xE2\x96\x81"};
constexpr std::array<std::string_view, 4> kSeparators = {" + ", "/", "+", "++"};
constexpr std::array<std::string_view, 5> kTrailing = {"", " ", "\r", "\t ", "\xC2\xA0"};

struct Segmentation {
  std::int64_t count;
  std::vector<std::string> morphs;
};

std::int64_t small_count(Reader& in) {
  const std::uint8_t b = in.next();
  // Now and then a count far beyond any tie.
  return b >= 0xF8 ? std::int64_t{1} << (b - 0xF8 + 30) : 1 + b % 4;
}

std::string letters(Reader& in, std::size_t alphabet, std::size_t length) {
  std::string out;
  for (std::size_t i = 0; i < length; ++i) out += kLetters[in.next() % alphabet];
  return out;
}

// Morphs never hold whitespace or the separator, so every line splits back
// into the morphs it was written from.
std::vector<Segmentation> random_segmentations(Reader& in, std::size_t alphabet, std::string_view separator) {
  std::vector<Segmentation> words;
  for (std::size_t n = 1 + in.next() % 10; n > 0; --n) {
    Segmentation word{small_count(in), {}};
    for (std::size_t m = 1 + in.next() % 4; m > 0; --m) {
      std::string morph;
      do {
        morph = letters(in, alphabet, 1 + in.next() % 4);
      } while (morph.find(separator) != std::string::npos || morph.ends_with(separator.front()) ||
               morph.starts_with(separator.back()));
      word.morphs.push_back(std::move(morph));
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::string file_text(Reader& in, const std::vector<Segmentation>& words, std::string_view separator) {
  std::string text;
  if (in.next() % 2 == 0) text += "# Output from Morfessor Baseline 2.0.6\n";
  for (const Segmentation& word : words) {
    const std::uint8_t shape = in.next();
    if (shape % 7 == 0) text += "\n";
    if (shape % 11 == 0) text += "# 1 a + b\n";
    text += std::to_string(word.count) + " ";
    for (std::size_t m = 0; m < word.morphs.size(); ++m) text += (m > 0 ? std::string(separator) : "") + word.morphs[m];
    text += kTrailing[shape % kTrailing.size()];
    text += "\n";
  }
  // The last line may go without its line feed.
  if (in.next() % 2 == 0) text.pop_back();
  return text;
}

segment::MorphCounts loaded(const std::vector<Segmentation>& words) {
  segment::SegmentationLoader loader;
  for (const Segmentation& word : words) {
    const std::vector<std::string_view> morphs(word.morphs.begin(), word.morphs.end());
    loader.add(word.count, morphs);
  }
  return loader.counts();
}

// Morph counts as a model may hold them, with fewer words than morphs.
segment::MorphCounts random_counts(Reader& in, std::size_t alphabet) {
  std::map<std::string, std::int64_t> morphs;
  for (std::size_t n = 1 + in.next() % 24; n > 0; --n) morphs[letters(in, alphabet, 1 + in.next() % 4)] = small_count(in);
  segment::MorphCounts counts{{morphs.begin(), morphs.end()}, 0};
  std::int64_t total = 0;
  for (const auto& [morph, count] : morphs) total += count;
  counts.words = 1 + static_cast<std::int64_t>((in.next() * 0x10001ull) % static_cast<std::uint64_t>(total));
  return counts;
}

std::string random_word(Reader& in, std::size_t alphabet, const segment::MorphCounts& counts) {
  const std::uint8_t kind = in.next();
  std::string word;
  if (kind % 4 == 0) {
    // Morphs of the model one after another.
    for (std::size_t k = 1 + in.next() % 6; k > 0; --k) word += counts.morphs[in.next() % counts.morphs.size()].first;
  } else if (kind % 4 == 1) {
    for (std::size_t k = in.next() % 24; k > 0; --k) word += static_cast<char>(in.next());
  } else {
    // Up to 70 characters, past the 30 of the longest morph considered.
    const std::size_t length = kind % 4 == 2 ? in.next() % 12 : 28 + in.next() % 43;
    for (std::size_t k = 0; k < length; ++k) {
      const std::uint8_t b = in.next();
      word += b >= 0xE0 ? kWordOnly[b % kWordOnly.size()] : kLetters[b % alphabet];
    }
  }
  return word;
}

void check_words(Reader& in, std::size_t alphabet, const segment::MorphCounts& counts) {
  const segment::Model model(counts);
  std::string out;
  for (std::size_t n = 0; n < 16 && !in.done(); ++n) {
    const std::string word = random_word(in, alphabet, counts);
    out = "kept";
    model.segment(word, out);
    if (!out.starts_with("kept")) broken("segment overwrote what the output held");
    const std::string_view segmented = std::string_view(out).substr(4);
    if (segmented != segment::naive::segment(counts, word)) broken("segmentation differs from the plain Viterbi");
    if (morfex::bpe::naive::without_markers(std::string(segmented)) != morfex::bpe::naive::without_markers(word)) {
      broken("the markers taken out do not give the word back");
    }
  }
}

// A file of any bytes loads or is refused with a line of it; what loads
// builds a model or is refused as a whole, and the model segments its lines.
void check_raw_file(Reader& in, std::string_view separator) {
  std::string text;
  for (std::size_t n = in.next() * 2; n > 0 && !in.done(); --n) text += static_cast<char>(in.next());
  segment::SegmentationLoader loader;
  try {
    segment::read_segmentations(text, separator, loader);
  } catch (const segment::InputError& error) {
    const std::size_t lines = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    if (error.line() < 1 || error.line() > lines) broken("a file error names no line of the file");
    if (std::string_view(error.what()).empty()) broken("a file error without a message");
    return;
  }
  const segment::MorphCounts counts = loader.counts();
  std::optional<segment::Model> model;
  try {
    model.emplace(counts);
  } catch (const segment::InputError& error) {
    if (!counts.morphs.empty()) broken("the counts of a file that loads are refused");
    if (error.line() != 0) broken("a model error names a line");
    return;
  }
  std::string out;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    out.clear();
    model->segment(word, out);
    if (out != segment::naive::segment(counts, word)) broken("segmentation of a file line differs from the plain Viterbi");
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const std::uint8_t switches = in.next();
  const std::string_view separator = kSeparators[(switches >> 2) % kSeparators.size()];
  const std::size_t alphabet = 2 + (switches >> 4) % (kLetters.size() - 1);
  try {
    if (switches % 4 == 0) {
      check_raw_file(in, separator);
    } else if (switches % 4 == 1) {
      check_words(in, alphabet, random_counts(in, alphabet));
    } else {
      const std::vector<Segmentation> words = random_segmentations(in, alphabet, separator);
      segment::SegmentationLoader loader;
      segment::read_segmentations(file_text(in, words, separator), separator, loader);
      const segment::MorphCounts counts = loader.counts();
      if (counts != loaded(words)) broken("the file reads back other counts than its words give");
      check_words(in, alphabet, counts);
    }
  } catch (const segment::InputError& error) {
    std::fprintf(stderr, "%s (line %zu)\n", error.what(), error.line());
    broken("a well-formed model refused");
  }
  return 0;
}
