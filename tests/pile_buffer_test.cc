#include "utils/pile_buffer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hilog/log_sink.h"

namespace {

using sonora::byte;
using utils::PileBuffer;

// Records every hand-over: the bytes, the buffer and the additional pointer.
struct Sink {
  std::vector<std::vector<byte>> blocks;
  std::vector<const byte*> buffers;
  std::vector<const void*> additionals;
  // When set, each call hands the pile a fresh buffer and keeps the one it received.
  bool swap_buffers = false;
  size_t capacity = 0;
  std::vector<byte*> taken;

  ~Sink() {
    for (byte* b : taken) delete[] b;
  }
};

byte* collect(const byte* data, size_t size, void* user, const void* additional) {
  auto* sink = static_cast<Sink*>(user);
  sink->blocks.emplace_back(data, data + size);
  sink->buffers.push_back(data);
  sink->additionals.push_back(additional);
  if (!sink->swap_buffers) return nullptr;
  sink->taken.push_back(const_cast<byte*>(data));
  return new byte[sink->capacity];
}

std::vector<byte> bytes(std::initializer_list<int> v) {
  std::vector<byte> out;
  for (int x : v) out.push_back(static_cast<byte>(x));
  return out;
}

TEST(PileBuffer, RefusalsAndAdditional) {
  Sink sink;
  PileBuffer pile(4, &sink, collect, nullptr);
  const auto a = bytes({1, 2, 3, 4, 5});
  EXPECT_FALSE(pile.append(nullptr, 4, nullptr));
  EXPECT_FALSE(pile.append(a.data(), 0, nullptr));
  EXPECT_TRUE(sink.blocks.empty());

  int tag1 = 0, tag2 = 0, tag3 = 0;
  EXPECT_TRUE(pile.append(a.data(), 3, &tag1));
  // The block completed by the second call carries that call's pointer.
  EXPECT_TRUE(pile.append(a.data(), 5, &tag2));
  pile.flush(&tag3);
  ASSERT_EQ(sink.additionals.size(), 3u);
  EXPECT_EQ(sink.additionals[0], &tag2);
  EXPECT_EQ(sink.additionals[1], &tag2);
  EXPECT_EQ(sink.additionals[2], &tag3);
  EXPECT_EQ(sink.blocks[0], bytes({1, 2, 3, 1}));
  EXPECT_EQ(sink.blocks[1], bytes({2, 3, 4, 5}));
  EXPECT_TRUE(sink.blocks[2].empty());

  // Without a callback nothing is piled.
  PileBuffer silent(4, nullptr, nullptr, nullptr);
  EXPECT_FALSE(silent.append(a.data(), a.size(), nullptr));
  silent.flush(nullptr);
}

TEST(PileBuffer, CapacityZeroIsRefused) {
  hilog::Capture cap;
  Sink sink;
  {
    PileBuffer pile(0, &sink, collect, nullptr);
    const auto a = bytes({1, 2, 3});
    EXPECT_FALSE(pile.append(a.data(), a.size(), nullptr));
    pile.flush(nullptr);
  }
  {
    // A given buffer is still released with the pile.
    PileBuffer pile(0, &sink, collect, new byte[8]);
    const auto a = bytes({1});
    EXPECT_FALSE(pile.append(a.data(), a.size(), nullptr));
  }
  EXPECT_TRUE(sink.blocks.empty());
  EXPECT_EQ(cap.count("PileBuffer: capacity 0 refused"), 2u);
}

TEST(PileBuffer, BuffersGivenAndReturned) {
  {
    // A buffer given at construction is the first block buffer and is released by the pile.
    Sink sink;
    byte* given = new byte[4];
    PileBuffer pile(4, &sink, collect, given);
    const auto a = bytes({1, 2, 3, 4});
    EXPECT_TRUE(pile.append(a.data(), a.size(), nullptr));
    ASSERT_EQ(sink.buffers.size(), 1u);
    EXPECT_EQ(sink.buffers[0], given);
  }
  {
    // A callback that returns a new buffer gets the old one; later bytes land in the new one,
    // which the pile releases at the end.
    Sink sink;
    sink.swap_buffers = true;
    sink.capacity = 4;
    {
      PileBuffer pile(4, &sink, collect, nullptr);
      const auto a = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
      EXPECT_TRUE(pile.append(a.data(), a.size(), nullptr));
      ASSERT_EQ(sink.buffers.size(), 2u);
      EXPECT_NE(sink.buffers[0], sink.buffers[1]);
      pile.flush(nullptr);
      ASSERT_EQ(sink.buffers.size(), 3u);
      EXPECT_NE(sink.buffers[2], sink.buffers[1]);
      // The blocks handed over earlier were not overwritten by later bytes.
      EXPECT_EQ(std::vector<byte>(sink.taken[0], sink.taken[0] + 4), bytes({1, 2, 3, 4}));
      EXPECT_EQ(std::vector<byte>(sink.taken[1], sink.taken[1] + 4), bytes({5, 6, 7, 8}));
      EXPECT_EQ(sink.blocks[2], bytes({9, 10}));
      EXPECT_TRUE(pile.append(a.data(), 2, nullptr));
    }
    // The last buffer handed over stays with the pile and went with it (ASan checks the rest).
    EXPECT_EQ(sink.taken.size(), 3u);
  }
}

// Whatever the chunk sizes, the blocks handed over are the appended bytes cut into pieces of the
// capacity, and each flush hands over what is left, even nothing.
TEST(PileBuffer, MatchesSliceModel) {
  std::mt19937 rng(7);
  for (size_t capacity = 1; capacity <= 50; ++capacity) {
    Sink sink;
    PileBuffer pile(capacity, &sink, collect, nullptr);
    std::vector<byte> all;
    size_t emitted = 0;  // bytes of `all` already handed over
    std::vector<std::vector<byte>> expected;
    for (int step = 0; step < 60; ++step) {
      if (rng() % 10 == 0) {
        pile.flush(nullptr);
        expected.emplace_back(all.begin() + static_cast<long>(emitted), all.end());
        emitted = all.size();
        continue;
      }
      const size_t n = rng() % (3 * capacity + 1);
      std::vector<byte> chunk(n);
      for (auto& b : chunk) b = static_cast<byte>(rng());
      EXPECT_EQ(pile.append(chunk.data(), n, nullptr), n > 0);
      all.insert(all.end(), chunk.begin(), chunk.end());
      while (all.size() - emitted >= capacity) {
        expected.emplace_back(all.begin() + static_cast<long>(emitted),
                              all.begin() + static_cast<long>(emitted + capacity));
        emitted += capacity;
      }
    }
    pile.flush(nullptr);
    expected.emplace_back(all.begin() + static_cast<long>(emitted), all.end());
    ASSERT_EQ(sink.blocks, expected) << "capacity " << capacity;
  }
}

TEST(PileBuffer, ConcurrentAppendsMakeWholeBlocks) {
  constexpr size_t kCapacity = 16;
  constexpr int kThreads = 4;
  constexpr int kChunks = 2000;
  Sink sink;  // called under the pile's lock
  PileBuffer pile(kCapacity, &sink, collect, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&pile, t] {
      // Each chunk is one or more whole blocks of the thread's own byte.
      std::vector<byte> chunk(3 * kCapacity, static_cast<byte>(t + 1));
      for (int i = 0; i < kChunks; ++i) {
        const size_t n = kCapacity * (1 + static_cast<size_t>(i % 3));
        pile.append(chunk.data(), n, nullptr);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<size_t> per_thread(kThreads + 1, 0);
  size_t mixed = 0, short_blocks = 0;
  for (const auto& blk : sink.blocks) {
    if (blk.size() != kCapacity) {
      ++short_blocks;
      continue;
    }
    bool uniform = true;
    for (byte b : blk) uniform = uniform && b == blk[0];
    if (!uniform) ++mixed;
    if (blk[0] >= 1 && blk[0] <= kThreads) ++per_thread[blk[0]];
  }
  EXPECT_EQ(mixed, 0u);
  EXPECT_EQ(short_blocks, 0u);
  size_t expected_per_thread = 0;
  for (int i = 0; i < kChunks; ++i) expected_per_thread += 1 + static_cast<size_t>(i % 3);
  for (int t = 1; t <= kThreads; ++t)
    EXPECT_EQ(per_thread[static_cast<size_t>(t)], expected_per_thread);
}

}  // namespace
