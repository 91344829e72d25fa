// The frame ring: born full of silence, frames copied in and handed out to its own thread.
#include "audio/ring_queue.h"

#include <gtest/gtest.h>
#include <hilog/log_sink.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using sonora::byte;
using sonora::Frame;
using sonora::TSSuit;
using sonora::audio::RingQueue;
using testing_support::eventually;

struct Seen {
  std::mutex mutex;
  std::vector<std::vector<byte>> payloads;
  std::vector<std::thread::id> threads;
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return payloads.size();
  }
};

void record(void* user, RingQueue*, Frame* frame) {
  Seen* seen = static_cast<Seen*>(user);
  std::lock_guard<std::mutex> lock(seen->mutex);
  seen->payloads.emplace_back(frame->data, frame->data + frame->size);
  seen->threads.push_back(std::this_thread::get_id());
}

sonora::audio::Suit suit_of(size_t block) {
  return testing_support::pcm_suit(16000, 1, 16, block);
}

TEST(RingQueue, InvalidArgumentsGiveAnInertRing) {
  hilog::Capture log;
  Seen seen;
  sonora::audio::Suit s = suit_of(8);
  sonora::audio::Suit zero = suit_of(0);
  struct Case {
    int capacity;
    const sonora::audio::Suit* suit;
    sonora::audio::ring_cb cb;
  } cases[] = {
      {1, &s, record}, {0, &s, record}, {4, nullptr, record}, {4, &s, nullptr}, {4, &zero, record}};
  for (const auto& c : cases) {
    RingQueue ring(c.capacity, sonora::audio::kMSigned, c.suit, c.cb, &seen);
    EXPECT_EQ(ring.left(), 0);
    EXPECT_EQ(ring.head(), nullptr);
    EXPECT_EQ(ring.dequeue(), nullptr);
    byte data[8] = {};
    TSSuit ts{};
    Frame f{&ts, data, 8, -1, sonora::kFTypeA};
    EXPECT_FALSE(ring.enqueue(&f));
    ring.full_fill();
    ring.clean();
    EXPECT_EQ(ring.left(), 0);
  }
  EXPECT_EQ(log.count("Error: RQ open sem failed"), 5u);
}

TEST(RingQueue, BornFullOfTheMuteValue) {
  Seen seen;
  sonora::audio::Suit s = suit_of(6);
  struct Case {
    sonora::audio::Mute mute;
    byte fill;
  } cases[] = {{sonora::audio::kMSigned, 0x00},
               {sonora::audio::kMUnsigned, 0x80},
               {sonora::audio::kMUnsigned16Bit, 0x00}};
  for (const auto& c : cases) {
    RingQueue ring(4, c.mute, &s, record, &seen);
    EXPECT_EQ(ring.left(), 4);
    for (int i = 0; i < 4; ++i) {
      const Frame* f = ring.head();
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(std::vector<byte>(f->data, f->data + f->size), std::vector<byte>(6, c.fill));
      EXPECT_EQ(f->offset, -1);
      ASSERT_EQ(ring.dequeue(), f);
    }
    EXPECT_EQ(ring.dequeue(), nullptr);
  }
}

TEST(RingQueue, DequeueFeedsTheCallbackAndEnqueueRefillsTheFreedSlot) {
  Seen seen;
  sonora::audio::Suit s = suit_of(4);
  RingQueue ring(4, sonora::audio::kMUnsigned, &s, record, &seen);
  byte data[4] = {1, 2, 3, 4};
  TSSuit ts{0, 77, 5, 6};
  Frame block{&ts, data, 4, -1, sonora::kFTypeA};
  EXPECT_FALSE(ring.enqueue(&block));  // full
  const Frame* first = ring.dequeue();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ring.left(), 3);
  ASSERT_TRUE(eventually([&] { return seen.count() == 1; }));
  EXPECT_NE(seen.threads[0], std::this_thread::get_id());
  // Block-sized frames only; the freed slot (0) is refilled with the payload and timestamp.
  byte shorter[3] = {9, 9, 9};
  Frame short_block{&ts, shorter, 3, -1, sonora::kFTypeA};
  EXPECT_FALSE(ring.enqueue(&short_block));
  EXPECT_TRUE(ring.enqueue(&block));
  EXPECT_EQ(ring.left(), 4);
  EXPECT_EQ(std::vector<byte>(first->data, first->data + 4), std::vector<byte>(data, data + 4));
  EXPECT_EQ(first->ts->ts, 77u);
  EXPECT_EQ(first->ts->tid, 6u);
  // Order: the three silence frames, then the copied block.
  for (int i = 0; i < 4; ++i) ASSERT_NE(ring.dequeue(), nullptr);
  ASSERT_TRUE(eventually([&] { return seen.count() == 5; }));
  EXPECT_EQ(seen.payloads[4], std::vector<byte>(data, data + 4));
  EXPECT_EQ(seen.payloads[1], std::vector<byte>(4, 0x80));
}

TEST(RingQueue, CleanEmptiesAndFullFillRefillsWithZeros) {
  Seen seen;
  sonora::audio::Suit s = suit_of(4);
  RingQueue ring(3, sonora::audio::kMUnsigned, &s, record, &seen);
  ring.clean();
  EXPECT_EQ(ring.left(), 0);
  EXPECT_EQ(ring.dequeue(), nullptr);
  ring.full_fill();
  EXPECT_EQ(ring.left(), 3);
  for (int i = 0; i < 3; ++i) {
    const Frame* f = ring.dequeue();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::vector<byte>(f->data, f->data + 4), std::vector<byte>(4, 0));
  }
  ASSERT_TRUE(eventually([&] { return seen.count() == 3u; }));

  // A clean after a partial dequeue: the dequeued frame reached the callback, the two left did
  // not, and the ring then fills and drains in order from wherever it stood.
  ring.full_fill();
  ASSERT_NE(ring.dequeue(), nullptr);
  // The dequeued frame's slot may be written again only once the callback is done with it.
  ASSERT_TRUE(eventually([&] { return seen.count() == 4u; }));
  ring.clean();
  EXPECT_EQ(ring.left(), 0);
  EXPECT_EQ(ring.dequeue(), nullptr);
  std::vector<byte> a(4, 0xA1), b(4, 0xB2);
  sonora::TSSuit ts{};
  Frame fa{&ts, a.data(), 4, -1, sonora::kFTypeA}, fb{&ts, b.data(), 4, -1, sonora::kFTypeA};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ring.enqueue(i % 2 == 0 ? &fa : &fb)) << i;
  EXPECT_FALSE(ring.enqueue(&fa));  // full
  for (int i = 0; i < 3; ++i) {
    const Frame* f = ring.dequeue();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::vector<byte>(f->data, f->data + 4), i % 2 == 0 ? a : b) << i;
  }
  ASSERT_TRUE(eventually([&] { return seen.count() == 7u; }));
}

TEST(RingQueue, DestroyingWhileItsThreadWaitsReturns) {
  Seen seen;
  sonora::audio::Suit s = suit_of(4);
  for (int i = 0; i < 20; ++i) {
    RingQueue ring(2, sonora::audio::kMSigned, &s, record, &seen);
    if (i % 2 == 0) ring.dequeue();
  }
  SUCCEED();
}

}  // namespace
