#include "sonora/frame_wrapper.h"

#include <gtest/gtest.h>
#include <hilog/log_sink.h>

#include <cstring>
#include <vector>

namespace {

using sonora::Frame;
using sonora::FrameWrapper;
using sonora::TSSuit;

TEST(FrameWrapper, PayloadLimitsAndTimestampCopy) {
  hilog::Capture log;
  FrameWrapper pool(6, 320);
  std::vector<sonora::byte> data(321, 0x5a);
  TSSuit ts{7, 1000, 900, 3};

  Frame* f = pool.gen_frame(sonora::kFTypeA, data.data(), 320, &ts);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->size, 320u);
  EXPECT_EQ(f->type, sonora::kFTypeA);
  EXPECT_EQ(0, std::memcmp(f->data, data.data(), 320));
  EXPECT_EQ(f->ts->period, 7);
  EXPECT_EQ(f->ts->ts, 1000u);
  EXPECT_EQ(f->ts->sts, 900u);
  EXPECT_EQ(f->ts->tid, 3u);

  EXPECT_EQ(pool.gen_frame(sonora::kFTypeA, data.data(), 321, &ts), nullptr);
  EXPECT_EQ(pool.gen_frame(sonora::kFTypeA, nullptr, 10, &ts), nullptr);
  EXPECT_EQ(log.count("Cannot alloc"), 0u);  // refusals of bad input are silent
  EXPECT_EQ(pool.size(), 1u);

  Frame* empty = pool.gen_frame(sonora::kFTypeB, data.data(), 0, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->size, 0u);
  EXPECT_EQ(empty->type, sonora::kFTypeB);
  EXPECT_EQ(empty->ts->period, 0);
  EXPECT_EQ(empty->ts->ts, 0u);
  EXPECT_EQ(empty->ts->sts, 0u);
  EXPECT_EQ(empty->ts->tid, 0u);
}

TEST(FrameWrapper, SlotLayoutExhaustionAndReuse) {
  hilog::Capture log;
  FrameWrapper pool(6, 100);
  sonora::byte data[100];
  std::memset(data, 1, sizeof(data));

  std::vector<Frame*> frames;
  for (int i = 0; i < 64; ++i) {
    Frame* f = pool.gen_frame(sonora::kFTypeA, data, 100, nullptr);
    ASSERT_NE(f, nullptr) << i;
    EXPECT_EQ(f->offset, i);  // lowest free slot first
    frames.push_back(f);
  }
  // Slot 0 sits at the start of the arena: TSSuit 32 bytes in, payload 64 bytes in; slots are
  // 64 + block bytes apart, rounded up to 8 so that every record is aligned.
  auto* base = reinterpret_cast<sonora::byte*>(frames[0]);
  EXPECT_EQ(reinterpret_cast<sonora::byte*>(frames[0]->ts), base + sonora::kFramePageSize);
  EXPECT_EQ(frames[0]->data, base + sonora::kFrameTSPageSize);
  EXPECT_EQ(pool.stride(), 168u);
  EXPECT_EQ(reinterpret_cast<sonora::byte*>(frames[5]), base + 5 * 168);
  for (Frame* f : frames) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(f) % alignof(Frame), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(f->ts) % alignof(TSSuit), 0u);
  }
  EXPECT_EQ(FrameWrapper(6, 640).stride(), 704u);  // a multiple of 8 already: no padding

  EXPECT_EQ(pool.size(), 64u);
  EXPECT_EQ(pool.gen_frame(sonora::kFTypeA, data, 100, nullptr), nullptr);
  EXPECT_EQ(log.count("gen_frame: Cannot alloc any more, level = 6"), 1u);

  EXPECT_TRUE(pool.delete_frame(frames[17]));
  EXPECT_FALSE(pool.delete_frame(frames[17]));  // already released
  EXPECT_EQ(pool.size(), 63u);
  Frame* again = pool.gen_frame(sonora::kFTypeA, data, 100, nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->offset, 17);

  pool.clean();
  EXPECT_EQ(pool.size(), 0u);
  Frame* first = pool.gen_frame(sonora::kFTypeA, data, 100, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->offset, 0);
  EXPECT_EQ(reinterpret_cast<sonora::byte*>(first), base);
}

TEST(FrameWrapper, RefusesFramesItDidNotMake) {
  FrameWrapper pool(6, 64);
  FrameWrapper other(6, 64);
  sonora::byte data[64] = {};
  EXPECT_FALSE(pool.delete_frame(nullptr));

  Frame loose{nullptr, data, 64, -1, sonora::kFTypeA};
  EXPECT_FALSE(pool.delete_frame(&loose));

  Frame* mine = pool.gen_frame(sonora::kFTypeA, data, 64, nullptr);
  Frame* theirs = other.gen_frame(sonora::kFTypeA, data, 64, nullptr);
  ASSERT_NE(mine, nullptr);
  ASSERT_NE(theirs, nullptr);
  EXPECT_EQ(mine->offset, theirs->offset);
  EXPECT_FALSE(pool.delete_frame(theirs));  // same slot number, other arena
  EXPECT_EQ(pool.size(), 1u);
  Frame forged = *mine;
  forged.offset = 200;  // beyond the pool
  EXPECT_FALSE(pool.delete_frame(&forged));
  EXPECT_TRUE(pool.delete_frame(mine));
}

TEST(FrameWrapper, ZeroBlockPoolIsInert) {
  hilog::Capture log;
  FrameWrapper pool(6, 0);
  sonora::byte data[4] = {};
  EXPECT_EQ(pool.gen_frame(sonora::kFTypeA, data, 0, nullptr), nullptr);
  EXPECT_EQ(pool.size(), 0u);
  pool.clean();
  EXPECT_EQ(log.count("FrameWrapper: refused"), 1u);
}

}  // namespace
