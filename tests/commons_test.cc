#include "utils/commons.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>

namespace {

using sonora::byte;
using sonora::Frame;
using sonora::TSSuit;

TEST(Commons, Cat) {
  EXPECT_EQ(cat(nullptr, nullptr), nullptr);
  EXPECT_EQ(cat("", ""), nullptr);
  EXPECT_EQ(cat("", nullptr), nullptr);

  const char* pre = "ab";
  char* s = cat(pre, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_NE(s, pre);  // a new buffer, not the argument
  EXPECT_STREQ(s, "ab");
  EXPECT_EQ(std::strlen(s), 2u);
  delete[] s;

  s = cat(nullptr, "xyz");
  EXPECT_STREQ(s, "xyz");
  delete[] s;
  s = cat("/data/", "file.pcm");
  EXPECT_STREQ(s, "/data/file.pcm");
  delete[] s;
}

TEST(Commons, UpdateFrame) {
  byte payload[4] = {0, 0, 0, 0};
  TSSuit ts{};
  Frame f{&ts, payload, sizeof(payload), 3, sonora::kFTypeA};
  const byte data[4] = {1, 2, 3, 4};
  const TSSuit stamp{20, 1000, 900, 7};

  EXPECT_FALSE(update_frame(nullptr, sonora::kFTypeB, data, 4, &stamp));

  // A size mismatch fails, but the type was already set; payload and stamp are untouched.
  EXPECT_FALSE(update_frame(&f, sonora::kFTypeI, data, 3, &stamp));
  EXPECT_EQ(f.type, sonora::kFTypeI);
  EXPECT_EQ(payload[0], 0);
  EXPECT_EQ(ts.ts, 0u);
  EXPECT_FALSE(update_frame(&f, sonora::kFTypeP, nullptr, 4, &stamp));
  EXPECT_EQ(f.type, sonora::kFTypeP);

  EXPECT_TRUE(update_frame(&f, sonora::kFTypeA, data, 4, &stamp));
  EXPECT_EQ(std::memcmp(payload, data, 4), 0);
  EXPECT_EQ(ts.period, 20);
  EXPECT_EQ(ts.ts, 1000u);
  EXPECT_EQ(ts.sts, 900u);
  EXPECT_EQ(ts.tid, 7u);
  EXPECT_EQ(f.size, 4u);
  EXPECT_EQ(f.offset, 3);

  // A null stamp, or a frame without a stamp record, still copies the payload.
  const byte other[4] = {9, 8, 7, 6};
  EXPECT_TRUE(update_frame(&f, sonora::kFTypeA, other, 4, nullptr));
  EXPECT_EQ(payload[0], 9);
  EXPECT_EQ(ts.ts, 1000u);
  Frame bare{nullptr, payload, sizeof(payload), -1, sonora::kFTypeA};
  EXPECT_TRUE(update_frame(&bare, sonora::kFTypeB, data, 4, &stamp));
  EXPECT_EQ(payload[3], 4);

  Frame no_payload{&ts, nullptr, 4, -1, sonora::kFTypeA};
  EXPECT_FALSE(update_frame(&no_payload, sonora::kFTypeB, data, 4, &stamp));
  EXPECT_EQ(no_payload.type, sonora::kFTypeB);
}

TEST(Commons, ClockAndSleep) {
  // A sleep lasts at least about as long as asked, on the wall clock too.
  const uint64_t wall0 = current_ts();
  const auto t0 = std::chrono::steady_clock::now();
  msleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
  EXPECT_GE(current_ts(), wall0 + 25);

  // Milliseconds since the epoch: agrees with the system clock.
  const auto sys_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  EXPECT_LT(std::llabs(static_cast<long long>(current_ts()) - static_cast<long long>(sys_ms)),
            1000);
}

TEST(Commons, RangeHelpers) {
  EXPECT_TRUE(is_range(0, 0, 4));
  EXPECT_TRUE(is_range(4, 0, 4));
  EXPECT_FALSE(is_range(5, 0, 4));
  EXPECT_FALSE(is_range(-1, 0, 4));
  EXPECT_TRUE(is_range(-3, -3, -3));
  EXPECT_FALSE(is_range(0, 1, -1));

  for (int i = 0; i < 100; ++i) EXPECT_EQ(random_range(3, 3), 3);
  std::set<int> seen;
  for (int i = 0; i < 5000; ++i) {
    const int v = random_range(-2, 5);
    ASSERT_GE(v, -2);
    ASSERT_LE(v, 5);
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 8u);  // both ends are reached
}

}  // namespace
