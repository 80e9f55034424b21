#include "engine/word_cache.h"

#include <pthread.h>

#include <algorithm>
#include <bit>
#include <iterator>
#include <cstring>
#include <utility>

#include "bpe/hash.h"

namespace morfex::engine {

std::uint64_t word_hash(std::string_view word) noexcept { return bpe::StringHash{}(word) | 1u; }

WordCache::WordCache(std::size_t capacity, std::size_t max_capacity)
    : capacity_(capacity),
      max_capacity_(std::max(capacity, max_capacity)),
      slots_(std::bit_ceil(2 * capacity + 2)),
      storage_(capacity * kBytesPerWord / sizeof(TokenId)) {}

void WordCache::clear() noexcept {
  std::fill(slots_.begin(), slots_.end(), Slot{});
  size_ = 0;
  used_ = 0;
}

void WordCache::grow() {
  capacity_ = std::min(max_capacity_, 2 * capacity_);
  std::vector<Slot> old(std::bit_ceil(2 * capacity_ + 2));
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.hash == 0) continue;
    std::size_t i = slot.hash & mask;
    while (slots_[i].hash != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }
  // Entries keep their offsets: storage only gets longer.
  storage_.resize(capacity_ * kBytesPerWord / sizeof(TokenId));
}

bool WordCache::find(std::string_view word, std::uint64_t hash, IdBuffer& ids) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.hash == 0) return false;
    if (slot.hash != hash || slot.word_bytes != word.size()) continue;
    const TokenId* entry = storage_.data() + slot.offset;
    if (std::string_view(reinterpret_cast<const char*>(entry + slot.id_count), word.size()) != word) continue;
    ids.append(entry, slot.id_count);
    return true;
  }
}

void WordCache::insert(std::string_view word, std::uint64_t hash, std::span<const TokenId> ids) {
  if (capacity_ == 0 || word.size() > kMaxWordBytes || ids.size() > kMaxIds) return;
  const std::size_t need = ids.size() + (word.size() + sizeof(TokenId) - 1) / sizeof(TokenId);
  if (size_ == capacity_ || need > storage_.size() - used_) {
    if (capacity_ < max_capacity_) {
      grow();
    } else {
      clear();
    }
  }
  if (need > storage_.size()) return;
  TokenId* entry = storage_.data() + used_;
  // An empty word or id list may have no data pointer, which memcpy must not get.
  if (!ids.empty()) std::memcpy(entry, ids.data(), ids.size() * sizeof(TokenId));
  if (!word.empty()) std::memcpy(entry + ids.size(), word.data(), word.size());
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  while (slots_[i].hash != 0) i = (i + 1) & mask;
  slots_[i] = Slot{hash, static_cast<std::uint32_t>(used_), static_cast<std::uint16_t>(word.size()),
                   static_cast<std::uint16_t>(ids.size())};
  used_ += need;
  ++size_;
}

// Every pool of the process. Around fork() the forking thread holds every
// pool's lock, so the child starts with none held by a thread it lacks.
struct PoolList {
  std::mutex mutex;
  CachePool* first = nullptr;

  static PoolList& get() {
    // Never destroyed: a pool of a module object may outlive static destructors.
    static PoolList* const list = [] {
      auto* made = new PoolList;
      pthread_atfork(&PoolList::lock_all, &PoolList::unlock_all, &PoolList::unlock_all);
      return made;
    }();
    return *list;
  }
  static void lock_all() noexcept {
    PoolList& list = get();
    list.mutex.lock();
    for (CachePool* pool = list.first; pool != nullptr; pool = pool->next_) pool->mutex_.lock();
  }
  static void unlock_all() noexcept {
    PoolList& list = get();
    for (CachePool* pool = list.first; pool != nullptr; pool = pool->next_) pool->mutex_.unlock();
    list.mutex.unlock();
  }
};

CachePool::CachePool(std::size_t capacity) : capacity_(capacity) {
  PoolList& list = PoolList::get();
  std::lock_guard lock(list.mutex);
  next_ = list.first;
  if (next_ != nullptr) next_->previous_ = this;
  list.first = this;
}

CachePool::~CachePool() {
  PoolList& list = PoolList::get();
  std::lock_guard lock(list.mutex);
  if (previous_ != nullptr) {
    previous_->next_ = next_;
  } else {
    list.first = next_;
  }
  if (next_ != nullptr) next_->previous_ = previous_;
}

std::unique_ptr<WordCache> CachePool::take() {
  std::size_t capacity = 0;
  {
    std::lock_guard lock(mutex_);
    if (capacity_ == 0) return nullptr;
    if (!idle_.empty()) {
      std::unique_ptr<WordCache> cache = std::move(idle_.back());
      idle_.pop_back();
      return cache;
    }
    capacity = capacity_;
  }
  // Made without the lock: a large cache takes a while to clear.
  return std::make_unique<WordCache>(capacity);
}

void CachePool::give_back(std::unique_ptr<WordCache> cache) {
  if (!cache) return;
  std::lock_guard lock(mutex_);
  if (cache->capacity() != capacity_ || idle_.size() == kMaxIdle) return;
  idle_.push_back(std::move(cache));
}

std::unique_ptr<WordCache> CachePool::take_memo(const MemoKey& key) {
  std::lock_guard lock(mutex_);
  for (auto it = idle_memos_.rbegin(); it != idle_memos_.rend(); ++it) {
    if (it->first != key) continue;
    std::unique_ptr<WordCache> memo = std::move(it->second);
    idle_memos_.erase(std::next(it).base());
    return memo;
  }
  return nullptr;
}

void CachePool::give_back_memo(const MemoKey& key, std::unique_ptr<WordCache> memo) {
  if (!memo) return;
  std::unique_ptr<WordCache> dropped;
  std::lock_guard lock(mutex_);
  if (idle_memos_.size() == kMaxIdleMemos) {
    dropped = std::move(idle_memos_.front().second);
    idle_memos_.erase(idle_memos_.begin());
  }
  idle_memos_.emplace_back(key, std::move(memo));
}

void CachePool::set_capacity(std::size_t capacity) {
  std::vector<std::unique_ptr<WordCache>> dropped;
  std::vector<std::pair<MemoKey, std::unique_ptr<WordCache>>> dropped_memos;
  std::lock_guard lock(mutex_);
  capacity_ = capacity;
  dropped.swap(idle_);
  dropped_memos.swap(idle_memos_);
}

std::size_t CachePool::capacity() const {
  std::lock_guard lock(mutex_);
  return capacity_;
}

}  // namespace morfex::engine
