#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/core_model.h"

namespace morfex::engine {

// A bounded map from a word to its ids, used by one thread at a time. When
// it holds `capacity` words (or its storage is full) it doubles, up to
// `max_capacity`, then starts over empty, which keeps its memory bounded and
// costs one sweep per `capacity` misses.
// Longer pieces are not kept: they are rare and would crowd out the rest.
// The bound still takes in the runs of indentation that running text
// repeats, which cost many merges each.
class WordCache {
 public:
  static constexpr std::size_t kMaxWordBytes = 256;
  static constexpr std::size_t kMaxIds = 64;
  // Storage for words and ids, per word of capacity.
  static constexpr std::size_t kBytesPerWord = 32;
  // Lookups per verdict on the hit rate, and how many windows a cache that
  // misses too often sits out.
  static constexpr std::uint32_t kWindow = 4096;
  static constexpr std::uint32_t kRestingWindows = 15;

  explicit WordCache(std::size_t capacity) : WordCache(capacity, capacity) {}
  WordCache(std::size_t capacity, std::size_t max_capacity);

  // Whether to look the next word up. Where words rarely repeat (fewer than
  // a quarter of a window's lookups hit), a lookup and an insert cost more
  // than the hits save, so the cache sits out a while, then tries again.
  bool active() noexcept {
    if (resting_ == 0) return true;
    --resting_;
    return false;
  }
  void record(bool hit) noexcept {
    hits_ += hit ? 1 : 0;
    if (++looked_ < kWindow) return;
    if (hits_ * 4 < kWindow) resting_ = kWindow * kRestingWindows;
    looked_ = hits_ = 0;
  }

  // Appends the cached ids of `word` to `ids`; false when it is not cached.
  bool find(std::string_view word, std::uint64_t hash, IdBuffer& ids) const;
  void insert(std::string_view word, std::uint64_t hash, std::span<const TokenId> ids);

  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t size() const noexcept { return size_; }

 private:
  struct Slot {
    std::uint64_t hash = 0;  // 0: empty; stored hashes have their low bit set
    std::uint32_t offset = 0;
    std::uint16_t word_bytes = 0;
    std::uint16_t id_count = 0;
  };
  void clear() noexcept;
  void grow();

  std::size_t capacity_;
  std::size_t max_capacity_;
  std::size_t size_ = 0;
  std::vector<Slot> slots_;  // a power of two, at least twice the capacity
  // Each entry: its ids, then its word bytes padded to whole ids.
  std::vector<TokenId> storage_;
  std::size_t used_ = 0;  // in ids
  std::uint32_t looked_ = 0;
  std::uint32_t hits_ = 0;
  std::uint32_t resting_ = 0;  // words to pass by before looking again
};

// What a memo of running text's words was made for: the text model, the
// segmenter (by their serials) and whether lone markers keep their ids.
struct MemoKey {
  std::uint64_t text_model = 0;
  std::uint64_t segmenter = 0;
  bool markers = false;
  bool operator==(const MemoKey&) const = default;
};

// The caches of one engine. A worker takes one for the length of a call and
// gives it back, so no cache is ever shared between threads. The memos of
// running text's words are kept the same way, by what they were made for.
// Every pool is
// listed for fork(): the child gets each lock free, whatever thread of the
// parent held it at the time.
class CachePool {
 public:
  explicit CachePool(std::size_t capacity);
  ~CachePool();
  CachePool(const CachePool&) = delete;
  CachePool& operator=(const CachePool&) = delete;

  // A cache for one worker, or null when caching is off.
  std::unique_ptr<WordCache> take();
  void give_back(std::unique_ptr<WordCache> cache);
  // An idle memo made for `key`, or null.
  std::unique_ptr<WordCache> take_memo(const MemoKey& key);
  // Keeps `memo` for a later call; the oldest idle memo goes when too many wait.
  void give_back_memo(const MemoKey& key, std::unique_ptr<WordCache> memo);
  // Takes effect for caches taken from now on; those in use are dropped on
  // return. Idle memos go too, so that setting it frees what the engine holds.
  void set_capacity(std::size_t capacity);
  std::size_t capacity() const;

 private:
  friend struct PoolList;
  static constexpr std::size_t kMaxIdle = 64;
  static constexpr std::size_t kMaxIdleMemos = 8;
  mutable std::mutex mutex_;
  CachePool* previous_ = nullptr;  // in the list of every pool
  CachePool* next_ = nullptr;
  std::size_t capacity_;
  std::vector<std::unique_ptr<WordCache>> idle_;
  std::vector<std::pair<MemoKey, std::unique_ptr<WordCache>>> idle_memos_;  // oldest first
};

// The hash the cache is keyed by.
std::uint64_t word_hash(std::string_view word) noexcept;

}  // namespace morfex::engine
