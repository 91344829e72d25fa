#include "utils/buddy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "hilog/log_sink.h"

namespace {

using utils::Buddy;
using utils::kBuddyAllocFailed;
using utils::kBuddySizeBadOffset;
using utils::kBuddySizeUnallocated;

TEST(Buddy, BadInputChangesNothing) {
  Buddy b(3, nullptr, nullptr);
  EXPECT_EQ(b.alloc(1), 0);
  EXPECT_EQ(b.alloc(2), 2);
  EXPECT_EQ(b.alloc(4), 4);
  // Negative and out-of-range offsets, and requests outside 0..size, leave the tree alone.
  for (int offset : {-1, 8, 1 << 20}) b.free(offset);
  EXPECT_EQ(b.size(8), kBuddySizeBadOffset);
  EXPECT_EQ(b.size(1 << 20), kBuddySizeBadOffset);
  EXPECT_EQ(b.alloc(-1), kBuddyAllocFailed);
  EXPECT_EQ(b.alloc(9), kBuddyAllocFailed);
  EXPECT_EQ(b.size(-1), 7);
}

TEST(BuddyDeathTest, ReleaseInsideUsedBlockAborts) {
  Buddy b(3, nullptr, nullptr);
  ASSERT_EQ(b.alloc(2), 0);
  EXPECT_DEATH(b.free(1), "left == offset");
}

struct CleanLog {
  std::vector<int> offsets;
  std::vector<void*> users;
};

void record_clean(int offset, void* user) {
  auto* log = static_cast<CleanLog*>(user);
  log->offsets.push_back(offset);
}

CleanLog* g_clean_log = nullptr;
void record_clean_self(int offset, void* user) {
  g_clean_log->offsets.push_back(offset);
  g_clean_log->users.push_back(user);
}

TEST(Buddy, CleanOrderAndUser) {
  {
    // Blocks of several sizes spread over both halves, a released one among them: each used
    // block visited once, lowest first, and the space is whole again.
    CleanLog log;
    Buddy b(5, record_clean, &log);
    std::vector<int> got;
    for (int s : {1, 4, 2, 8, 1, 1, 2, 1}) got.push_back(b.alloc(s));
    EXPECT_EQ(got, (std::vector<int>{0, 4, 2, 8, 1, 16, 18, 17}));
    b.free(17);
    b.clean();
    EXPECT_EQ(log.offsets, (std::vector<int>{0, 1, 2, 4, 8, 16, 18}));
    EXPECT_EQ(b.size(-1), 0);
    // The whole space as one block; a second clean finds nothing.
    EXPECT_EQ(b.alloc(32), 0);
    b.clean();
    b.clean();
    EXPECT_EQ(log.offsets.size(), 8u);
    EXPECT_EQ(log.offsets.back(), 0);
  }
  {
    // A null user makes the allocator itself the callback's user value.
    CleanLog log;
    g_clean_log = &log;
    Buddy b(2, record_clean_self, nullptr);
    b.alloc(1);
    b.clean();
    ASSERT_EQ(log.users.size(), 1u);
    EXPECT_EQ(log.users[0], static_cast<void*>(&b));
    g_clean_log = nullptr;
  }
}

TEST(Buddy, BadLevelMakesInertAllocator) {
  hilog::Capture cap;
  for (uint8_t level : {uint8_t{0}, uint8_t{31}, uint8_t{255}}) {
    Buddy b(level, record_clean, nullptr);
    EXPECT_EQ(b.alloc(0), kBuddyAllocFailed);
    EXPECT_EQ(b.alloc(1), kBuddyAllocFailed);
    EXPECT_EQ(b.size(-1), 0);
    EXPECT_EQ(b.size(0), kBuddySizeBadOffset);
    b.free(0);
    b.clean();
  }
  EXPECT_EQ(cap.count("refused"), 3u);
  // The valid extremes work.
  Buddy one(1, nullptr, nullptr);
  EXPECT_EQ(one.alloc(1), 0);
  EXPECT_EQ(one.alloc(1), 1);
  EXPECT_EQ(one.alloc(1), kBuddyAllocFailed);
  EXPECT_EQ(cap.count("refused"), 3u);
}

// Straightforward reference: a bitmap of units and the first aligned power-of-two run that is
// wholly free. Comparing against it covers first-fit order (lowest free unit first, a larger
// free block at a lower offset split before an exact one further right), rounding requests up,
// zero-unit requests, exhaustion and the size codes of every unit.
class Model {
 public:
  explicit Model(int units) : used_(static_cast<size_t>(units), 0), start_(used_.size(), -1) {}

  int alloc(int s) {
    int need = 1;
    while (need < s) need *= 2;
    const int n = static_cast<int>(used_.size());
    if (need > n) return kBuddyAllocFailed;
    for (int o = 0; o + need <= n; o += need) {
      bool free = true;
      for (int u = o; u < o + need && free; ++u) free = used_[static_cast<size_t>(u)] == 0;
      if (!free) continue;
      for (int u = o; u < o + need; ++u) {
        used_[static_cast<size_t>(u)] = 1;
        start_[static_cast<size_t>(u)] = o;
      }
      blocks_.push_back({o, need});
      return o;
    }
    return kBuddyAllocFailed;
  }
  void free_block(size_t i) {
    auto [o, len] = blocks_[i];
    for (int u = o; u < o + len; ++u) used_[static_cast<size_t>(u)] = 0;
    blocks_.erase(blocks_.begin() + static_cast<long>(i));
  }
  int size(int offset) const {
    if (offset < 0) {
      int n = 0;
      for (auto u : used_) n += u;
      return n;
    }
    if (!used_[static_cast<size_t>(offset)]) return kBuddySizeUnallocated;
    if (start_[static_cast<size_t>(offset)] != offset) return kBuddySizeBadOffset;
    for (auto& blk : blocks_) {
      if (blk.first == offset) return blk.second;
    }
    return 0;
  }
  const std::vector<std::pair<int, int>>& blocks() const { return blocks_; }
  bool is_used(int u) const { return used_[static_cast<size_t>(u)] != 0; }

 private:
  std::vector<int> used_;
  std::vector<int> start_;
  std::vector<std::pair<int, int>> blocks_;
};

TEST(Buddy, MatchesFirstFitModel) {
  constexpr int kLevel = 6;
  constexpr int kUnits = 1 << kLevel;
  std::mt19937 rng(12345);
  for (int round = 0; round < 100; ++round) {
    Buddy b(kLevel, nullptr, nullptr);
    Model m(kUnits);
    for (int step = 0; step < 500; ++step) {
      const int r = static_cast<int>(rng() % 100);
      if (r < 55 || m.blocks().empty()) {
        const int s = static_cast<int>(rng() % 9);  // 0..8
        ASSERT_EQ(b.alloc(s), m.alloc(s)) << "round " << round << " step " << step << " s " << s;
      } else if (r < 95) {
        const size_t i = rng() % m.blocks().size();
        b.free(m.blocks()[i].first);
        m.free_block(i);
      } else {
        // Releasing a unit in free space is ignored.
        const int u = static_cast<int>(rng() % kUnits);
        if (!m.is_used(u)) b.free(u);
      }
      ASSERT_EQ(b.size(-1), m.size(-1));
      if (step % 25 == 0) {
        for (int u = 0; u < kUnits; ++u) ASSERT_EQ(b.size(u), m.size(u)) << "unit " << u;
      }
    }
    // Release in random order; the space is one free block afterwards.
    while (!m.blocks().empty()) {
      const size_t i = rng() % m.blocks().size();
      b.free(m.blocks()[i].first);
      m.free_block(i);
    }
    ASSERT_EQ(b.size(-1), 0);
    ASSERT_EQ(b.alloc(kUnits), 0);
  }
}

TEST(Buddy, ConcurrentAllocFreeNeverSharesASlot) {
  constexpr int kThreads = 4;
  constexpr int kIterations = 20000;
  Buddy b(5, nullptr, nullptr);
  std::vector<std::atomic<int>> owner(32);
  for (auto& o : owner) o.store(-1);
  std::atomic<int> double_handouts{0};
  std::atomic<int> bad_offsets{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<int> held;
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int i = 0; i < kIterations; ++i) {
        if (held.size() < 8 && (rng() & 1)) {
          const int off = b.alloc(1);
          if (off == kBuddyAllocFailed) continue;
          if (off < 0 || off >= 32) {
            bad_offsets++;
            continue;
          }
          int expected = -1;
          if (!owner[static_cast<size_t>(off)].compare_exchange_strong(expected, t)) {
            double_handouts++;
          }
          held.push_back(off);
        } else if (!held.empty()) {
          const int off = held.back();
          held.pop_back();
          owner[static_cast<size_t>(off)].store(-1);
          b.free(off);
        }
      }
      for (int off : held) {
        owner[static_cast<size_t>(off)].store(-1);
        b.free(off);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(double_handouts.load(), 0);
  EXPECT_EQ(bad_offsets.load(), 0);
  EXPECT_EQ(b.size(-1), 0);
  EXPECT_EQ(b.alloc(32), 0);
}

}  // namespace
