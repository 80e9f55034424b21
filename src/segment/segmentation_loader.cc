#include "segment/segmentation_loader.h"

#include <algorithm>

namespace morfex::segment {

void SegmentationLoader::modify(const std::string& construction, std::int64_t delta) {
  const auto found = nodes_.find(construction);
  const Node old = found == nodes_.end() ? Node{0, 0} : found->second;
  const std::int64_t count = old.count + delta;
  if (count == 0) {
    if (found != nodes_.end()) nodes_.erase(found);
  } else if (found == nodes_.end()) {
    nodes_.emplace(construction, Node{count, 0});
  } else {
    found->second.count = count;
  }
  // An inner node passes the change on to both parts of its split.
  if (old.split != 0) {
    modify(construction.substr(0, old.split), delta);
    modify(construction.substr(old.split), delta);
  }
}

std::int64_t SegmentationLoader::remove(const std::string& construction) {
  const std::int64_t count = nodes_.at(construction).count;
  modify(construction, -count);
  return count;
}

void SegmentationLoader::add(std::int64_t count, std::span<const std::string_view> morphs) {
  if (count < 1 || count > kMaxCount) {
    throw InputError("the count must be from 1 to " + std::to_string(kMaxCount) + ", got " + std::to_string(count));
  }
  if (morphs.empty()) throw InputError("a word needs at least one morph");
  for (const std::string_view morph : morphs) {
    if (const char* problem = morph_problem(morph)) {
      throw InputError("morph '" + std::string(morph) + "' " + problem);
    }
  }
  const auto parts = static_cast<std::int64_t>(morphs.size());
  if (count > (kMaxCount - total_) / parts) {
    throw InputError("the counts add up to more than " + std::to_string(kMaxCount));
  }
  total_ += count * parts;
  words_ += count;

  std::string construction;
  for (const std::string_view morph : morphs) construction += morph;
  modify(construction, count);
  // The word's node, then each suffix in turn, becomes its first morph and
  // the rest; the last suffix becomes a leaf. Each takes its whole count
  // along, also the part other words brought to a shared suffix.
  for (std::size_t p = 0; p < morphs.size(); ++p) {
    const std::int64_t moved = remove(construction);
    if (p + 1 == morphs.size()) {
      nodes_.emplace(construction, Node{0, 0});
      modify(construction, moved);
      break;
    }
    std::string suffix = construction.substr(morphs[p].size());
    nodes_.insert_or_assign(construction, Node{moved, morphs[p].size()});
    modify(std::string(morphs[p]), moved);
    modify(suffix, moved);
    construction = std::move(suffix);
  }
}

MorphCounts SegmentationLoader::counts() const {
  MorphCounts counts;
  counts.words = words_;
  for (const auto& [construction, node] : nodes_) {
    if (node.split == 0) counts.morphs.emplace_back(construction, node.count);
  }
  std::sort(counts.morphs.begin(), counts.morphs.end());
  return counts;
}

}  // namespace morfex::segment
