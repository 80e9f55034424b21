#include "segment/segmentation_file.h"

#include <charconv>
#include <string>
#include <vector>

#include "bpe/utf8.h"

namespace morfex::segment {
namespace {

// The line without the whitespace at its end (as str.rstrip() leaves it),
// or false when the line is not valid UTF-8.
bool right_stripped(std::string_view line, std::string_view& stripped) {
  std::size_t end = 0;
  for (std::size_t pos = 0; pos < line.size();) {
    const std::size_t len = bpe::char_length(line, pos);
    const std::uint32_t c = bpe::scalar_value(line.data() + pos, len);
    if (c == bpe::kNotScalar) return false;
    pos += len;
    if (!is_space(c)) end = pos;
  }
  stripped = line.substr(0, end);
  return true;
}

std::int64_t parse_count(std::string_view text, std::size_t line) {
  std::int64_t count = 0;
  const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (!digits || error != std::errc() || end != text.data() + text.size() || count < 1 || count > kMaxCount) {
    throw InputError("bad count '" + std::string(text) + "': expected a whole number from 1 to " +
                         std::to_string(kMaxCount),
                     line);
  }
  return count;
}

}  // namespace

void read_segmentations(std::string_view text, std::string_view separator, SegmentationLoader& loader) {
  if (separator.empty()) throw InputError("the morph separator is empty");
  std::vector<std::string_view> morphs;
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    ++number;
    std::string_view line;
    if (!right_stripped(text.substr(start, end - start), line)) throw InputError("not valid UTF-8", number);
    start = end + 1;
    if (line.empty() || line.front() == '#') continue;
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) throw InputError("no space after the count", number);
    const std::int64_t count = parse_count(line.substr(0, space), number);
    morphs.clear();
    std::string_view rest = line.substr(space + 1);
    for (std::size_t cut; (cut = rest.find(separator)) != std::string_view::npos; rest.remove_prefix(cut + separator.size())) {
      morphs.push_back(rest.substr(0, cut));
    }
    morphs.push_back(rest);
    try {
      loader.add(count, morphs);
    } catch (const InputError& error) {
      throw InputError(error.what(), number);
    }
  }
}

}  // namespace morfex::segment
