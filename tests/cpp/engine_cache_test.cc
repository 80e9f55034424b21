#include "engine/word_cache.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace morfex::engine {
namespace {

std::vector<TokenId> found(const WordCache& cache, const std::string& word) {
  IdBuffer ids;
  if (!cache.find(word, word_hash(word), ids)) return {UINT32_MAX};
  return {ids.begin(), ids.end()};
}

void put(WordCache& cache, const std::string& word, std::vector<TokenId> ids) {
  cache.insert(word, word_hash(word), ids);
}

TEST(WordCache, FindsWhatWasInsertedByExactBytes) {
  WordCache cache(8);
  put(cache, "ab", {1, 2});
  put(cache, "", {});
  put(cache, std::string("a\0b", 3), {7});
  EXPECT_EQ(found(cache, "ab"), (std::vector<TokenId>{1, 2}));
  EXPECT_EQ(found(cache, ""), (std::vector<TokenId>{}));
  EXPECT_EQ(found(cache, std::string("a\0b", 3)), (std::vector<TokenId>{7}));
  EXPECT_EQ(found(cache, "a"), (std::vector<TokenId>{UINT32_MAX}));
  EXPECT_EQ(found(cache, "ab "), (std::vector<TokenId>{UINT32_MAX}));
}

TEST(WordCache, StartsOverWhenFullAndStaysBounded) {
  WordCache cache(4);
  const std::vector<std::string> words = {"w0", "w1", "w2", "w3"};
  for (TokenId i = 0; i < 4; ++i) put(cache, words[i], {i});
  EXPECT_EQ(cache.size(), 4u);
  put(cache, "w4", {4});
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(found(cache, "w0"), (std::vector<TokenId>{UINT32_MAX}));
  EXPECT_EQ(found(cache, "w4"), (std::vector<TokenId>{4}));
}

TEST(WordCache, DoublesKeepingItsWordsUpToItsLimitThenStartsOver) {
  WordCache cache(4, 16);
  std::vector<std::string> words;
  for (TokenId i = 0; i < 16; ++i) {
    words.push_back("word" + std::to_string(i));
    put(cache, words.back(), {i, i + 1});
  }
  EXPECT_EQ(cache.capacity(), 16u);
  EXPECT_EQ(cache.size(), 16u);
  for (TokenId i = 0; i < 16; ++i) EXPECT_EQ(found(cache, words[i]), (std::vector<TokenId>{i, i + 1})) << words[i];
  put(cache, "one more", {99});
  EXPECT_EQ(cache.capacity(), 16u);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(found(cache, words[0]), (std::vector<TokenId>{UINT32_MAX}));
  EXPECT_EQ(found(cache, "one more"), (std::vector<TokenId>{99}));
}

TEST(CachePool, GivesAMemoBackOnlyForWhatItWasMadeFor) {
  CachePool pool(8);
  const MemoKey first{1, 2, false};
  const MemoKey markers{1, 2, true};
  auto memo = std::make_unique<WordCache>(4);
  put(*memo, "kot", {3});
  pool.give_back_memo(first, std::move(memo));
  EXPECT_EQ(pool.take_memo(markers), nullptr);
  EXPECT_EQ(pool.take_memo(MemoKey{3, 2, false}), nullptr);
  std::unique_ptr<WordCache> taken = pool.take_memo(first);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(found(*taken, "kot"), (std::vector<TokenId>{3}));
  EXPECT_EQ(pool.take_memo(first), nullptr);
  pool.give_back_memo(first, std::move(taken));
  pool.set_capacity(4);  // frees what waits
  EXPECT_EQ(pool.take_memo(first), nullptr);
}

TEST(CachePool, KeepsABoundedNumberOfIdleMemosDroppingTheOldest) {
  CachePool pool(8);
  for (std::uint64_t k = 1; k <= 20; ++k) pool.give_back_memo(MemoKey{k, 1, false}, std::make_unique<WordCache>(2));
  EXPECT_EQ(pool.take_memo(MemoKey{1, 1, false}), nullptr);
  EXPECT_NE(pool.take_memo(MemoKey{20, 1, false}), nullptr);
}

TEST(WordCache, StartsOverWhenItsStorageIsFull) {
  WordCache cache(24);  // room for 24 * 32 bytes: one entry of 512 bytes, not two
  const std::vector<TokenId> many(WordCache::kMaxIds, 9);
  put(cache, std::string(WordCache::kMaxWordBytes, 'x'), many);
  put(cache, std::string(WordCache::kMaxWordBytes, 'y'), many);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(found(cache, std::string(WordCache::kMaxWordBytes, 'y')), many);
}

TEST(WordCache, KeepsNeitherLongWordsNorWordsOfManyIds) {
  WordCache cache(64);
  put(cache, std::string(WordCache::kMaxWordBytes + 1, 'x'), {1});
  put(cache, "many", std::vector<TokenId>(WordCache::kMaxIds + 1, 3));
  EXPECT_EQ(cache.size(), 0u);
}

TEST(CachePool, HandsOutCachesOfTheCurrentCapacity) {
  CachePool pool(16);
  std::unique_ptr<WordCache> first = pool.take();
  std::unique_ptr<WordCache> second = pool.take();
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.get(), second.get());
  WordCache* kept = first.get();
  pool.give_back(std::move(first));
  EXPECT_EQ(pool.take().get(), kept);
  pool.set_capacity(0);
  EXPECT_EQ(pool.take(), nullptr);
  pool.give_back(std::move(second));  // of the old capacity: dropped
  pool.set_capacity(32);
  std::unique_ptr<WordCache> fresh = pool.take();
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->capacity(), 32u);
}

// Whether the child `pid` exits with status 0 within `seconds`; a hung child is killed.
bool exits_cleanly(pid_t pid, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(CachePool, AChildForkedWhileOtherThreadsUseThePoolCanTakeACache) {
  CachePool pool(4096);
  std::atomic<bool> stop{false};
  std::vector<std::thread> churn;
  for (int t = 0; t < 3; ++t) {
    churn.emplace_back([&, t] {
      while (!stop.load()) {
        std::unique_ptr<WordCache> cache = pool.take();
        pool.give_back(std::move(cache));
        if (t == 0) pool.set_capacity(4096);
      }
    });
  }
  int hung = 0;
  for (int round = 0; round < 100; ++round) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::unique_ptr<WordCache> cache = pool.take();
      pool.give_back(std::move(cache));
      _exit(cache == nullptr ? 0 : 1);
    }
    hung += exits_cleanly(pid, 30) ? 0 : 1;
  }
  stop.store(true);
  for (std::thread& thread : churn) thread.join();
  EXPECT_EQ(hung, 0);
}

// Counts the words of `count` for which the cache asks to be looked in.
std::size_t lookups(WordCache& cache, std::size_t count) {
  std::size_t looked = 0;
  for (std::size_t i = 0; i < count; ++i) looked += cache.active() ? 1 : 0;
  return looked;
}

TEST(WordCache, SitsOutAfterAWindowOfMostlyMissesAndThenTriesAgain) {
  WordCache cache(8);
  const std::uint32_t window = WordCache::kWindow;
  // Just under a quarter of hits: the next windows pass it by.
  for (std::uint32_t i = 0; i < window; ++i) cache.record(i < window / 4 - 1);
  EXPECT_EQ(lookups(cache, std::size_t{window} * WordCache::kRestingWindows), 0u);
  EXPECT_EQ(lookups(cache, 10), 10u);
}

TEST(WordCache, StaysInUseWhileAQuarterOfLookupsHit) {
  WordCache cache(8);
  const std::uint32_t window = WordCache::kWindow;
  for (int round = 0; round < 3; ++round) {
    for (std::uint32_t i = 0; i < window; ++i) cache.record(i < window / 4);
    EXPECT_EQ(lookups(cache, 100), 100u);
  }
}

}  // namespace
}  // namespace morfex::engine
