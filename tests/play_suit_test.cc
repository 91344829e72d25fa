#include "sonora/play_suit.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using sonora::PlaySuit;
namespace audio = sonora::audio;
namespace video = sonora::video;

audio::Suit make_suit(int rate, int bits, size_t block) {
  audio::Suit s;
  std::memset(&s, 0, sizeof(s));
  s.type = audio::kTypeRawPCM;
  s.sample_rate = rate;
  s.channel_per_frame = 1;
  s.bit_per_channel = bits;
  s.block = block;
  return s;
}

TEST(PlaySuit, ForcesProcessingFieldsAndKeepsCallerFields) {
  audio::Suit in = make_suit(16000, 16, 640);
  in.source = 7;
  in.enable_ns = true;
  in.enable_aec = true;
  in.enable_agc = true;
  in.enable_vad = true;
  in.ns_value = 3;
  in.aec_value = 0;
  in.aec_value_active = 1;
  in.aec_sample_in_bytes = 320;
  in.aec_ms_in_sound_card = 99;
  in.aec_start_by_ts = -4;
  in.aec_end_by_ts = 1000;
  in.aec_wait_input_in_ms = 1;
  in.buffer_frame_count = 7;
  in.max_cache_delay_in_second = 9;
  in.append_jump_shreshold_size = 3;
  in.max_cached_frames = 1234;
  in.delayed_per_block = 4321;

  PlaySuit suit(42, sonora::kPTypeAutoStop, &in, nullptr);
  const audio::Suit* a = suit.audio();
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a, &in);
  EXPECT_EQ(suit.window(), 42);
  EXPECT_EQ(suit.type(), sonora::kPTypeAutoStop);
  // Caller's values.
  EXPECT_EQ(a->type, audio::kTypeRawPCM);
  EXPECT_EQ(a->sample_rate, 16000);
  EXPECT_EQ(a->block, 640u);
  EXPECT_EQ(a->source, 7);
  EXPECT_TRUE(a->enable_ns);
  EXPECT_TRUE(a->enable_aec);
  EXPECT_EQ(a->buffer_frame_count, 7);
  // Forced values.
  EXPECT_FALSE(a->enable_agc);
  EXPECT_FALSE(a->enable_vad);
  EXPECT_EQ(a->ns_value, 1);
  EXPECT_EQ(a->aec_value, 3);
  EXPECT_EQ(a->aec_value_active, 25);
  EXPECT_EQ(a->aec_sample_in_bytes, 160);
  EXPECT_EQ(a->aec_ms_in_sound_card, 40);
  EXPECT_EQ(a->aec_start_by_ts, 5);
  EXPECT_EQ(a->aec_end_by_ts, 45);
  EXPECT_EQ(a->aec_wait_input_in_ms, 80);
  EXPECT_EQ(a->max_cache_delay_in_second, 1);
  EXPECT_EQ(a->append_jump_shreshold_size, 50u);
  // Derived values: 32000 bytes per second / 640 = 50 blocks, 20 ms each.
  EXPECT_EQ(a->max_cached_frames, 50);
  EXPECT_EQ(a->delayed_per_block, 20);
}

TEST(PlaySuit, DerivedFieldsAndStartUpCount) {
  // Blocks per second and milliseconds per block count every channel of a block.
  struct Case {
    int rate, channels, bits;
    size_t block;
    int frames, ms;
  } cases[] = {
      {8000, 1, 16, 320, 50, 20},      {16000, 1, 16, 320, 100, 10},
      {44100, 1, 16, 1764, 50, 20},    {48000, 1, 16, 1920, 50, 20},
      {8000, 1, 8, 80, 100, 10},       {16000, 1, 16, 32000, 1, 1000},
      {48000, 2, 16, 3840, 50, 20},    {44100, 2, 16, 3528, 50, 20},
      {48000, 2, 16, 144000, 1, 1000}, {48000, 2, 16, 192000, 1, 1000},
      {16000, 6, 16, 3840, 50, 20},
  };
  for (const auto& c : cases) {
    audio::Suit in = make_suit(c.rate, c.bits, c.block);
    in.channel_per_frame = c.channels;
    PlaySuit suit(1, sonora::kPTypeByFPS, &in, nullptr);
    SCOPED_TRACE(testing::Message() << c.rate << "/" << c.channels << "/" << c.block);
    EXPECT_EQ(suit.audio()->max_cached_frames, c.frames);
    EXPECT_EQ(suit.audio()->delayed_per_block, c.ms);
    EXPECT_TRUE(sonora::suit_has_valid_block(suit.audio()));
  }
  // One byte more than a second of stereo audio is refused.
  audio::Suit over = make_suit(48000, 16, 192001);
  over.channel_per_frame = 2;
  PlaySuit too_long(1, sonora::kPTypeByFPS, &over, nullptr);
  EXPECT_FALSE(sonora::suit_has_valid_block(too_long.audio()));
  // buffer_frame_count: 0 becomes 3, anything else stays (negative too).
  for (int b : {0, 7, -2}) {
    audio::Suit in = make_suit(8000, 16, 320);
    in.buffer_frame_count = b;
    PlaySuit suit(1, sonora::kPTypeByFPS, &in, nullptr);
    EXPECT_EQ(suit.audio()->buffer_frame_count, b == 0 ? 3 : b);
  }
}

TEST(PlaySuit, UnusableBlockIsStoredWithoutDividingByZero) {
  // Block 0, and a block longer than one second of audio (16000 bytes at 8 kHz 16-bit).
  for (size_t block : {static_cast<size_t>(0), static_cast<size_t>(16002)}) {
    audio::Suit in = make_suit(8000, 16, block);
    PlaySuit suit(1, sonora::kPTypeByFPS, &in, nullptr);
    ASSERT_NE(suit.audio(), nullptr);
    EXPECT_EQ(suit.audio()->block, block);
    EXPECT_EQ(suit.audio()->max_cached_frames, 0);
    EXPECT_EQ(suit.audio()->delayed_per_block, 0);
    EXPECT_FALSE(sonora::suit_has_valid_block(suit.audio()));
  }
  // A rate or width of 0 has no second of audio at all.
  audio::Suit zero_rate = make_suit(0, 16, 320);
  PlaySuit a(1, sonora::kPTypeByFPS, &zero_rate, nullptr);
  EXPECT_EQ(a.audio()->max_cached_frames, 0);
  audio::Suit huge = make_suit(2000000000, 32, 320);  // 8e9 bytes per second overflows 32 bits
  PlaySuit b(1, sonora::kPTypeByFPS, &huge, nullptr);
  EXPECT_FALSE(sonora::suit_has_valid_block(b.audio()));
  EXPECT_FALSE(sonora::suit_has_valid_block(nullptr));
}

TEST(PlaySuit, NormalisingTwiceGivesTheSameSuitAndNullReleases) {
  audio::Suit in = make_suit(16000, 16, 640);
  in.buffer_frame_count = 0;
  PlaySuit first(1, sonora::kPTypeByFPS, &in, nullptr);
  PlaySuit second(first.window(), first.type(), first.audio(), first.video());
  EXPECT_EQ(0, std::memcmp(first.audio(), second.audio(), sizeof(audio::Suit)));

  // set_audio on its own copy leaves it as it is.
  audio::Suit before = *second.audio();
  second.set_audio(second.audio());
  EXPECT_EQ(0, std::memcmp(&before, second.audio(), sizeof(audio::Suit)));

  // An existing copy is reused for a new suit.
  const audio::Suit* copy = second.audio();
  audio::Suit other = make_suit(8000, 16, 160);
  second.set_audio(&other);
  EXPECT_EQ(second.audio(), copy);
  EXPECT_EQ(second.audio()->sample_rate, 8000);

  second.set_audio(nullptr);
  EXPECT_EQ(second.audio(), nullptr);
  second.set_audio(nullptr);  // nothing to release
  EXPECT_EQ(second.audio(), nullptr);
}

TEST(PlaySuit, VideoSuitOwnsItsPathCopy) {
  char* path = new char[16];
  std::strcpy(path, "/tmp/video.mp4");
  video::Suit v{video::kTypeH264, 640, 480, 25.0f, path};
  PlaySuit suit(1, sonora::kPTypeByFile, nullptr, &v);
  delete[] path;  // the caller may free its string at once
  ASSERT_NE(suit.video(), nullptr);
  EXPECT_EQ(suit.video()->type, video::kTypeH264);
  EXPECT_EQ(suit.video()->width, 640);
  EXPECT_EQ(suit.video()->height, 480);
  EXPECT_FLOAT_EQ(suit.video()->fps, 25.0f);
  ASSERT_NE(suit.video()->local_video_path, nullptr);
  EXPECT_STREQ(suit.video()->local_video_path, "/tmp/video.mp4");

  char empty[] = "";
  video::Suit no_path{video::kTypeLegacy, 1, 1, 1.0f, empty};
  suit.set_video(&no_path);
  EXPECT_EQ(suit.video()->local_video_path, nullptr);
  video::Suit null_path{video::kTypeLegacy, 1, 1, 1.0f, nullptr};
  suit.set_video(&null_path);
  EXPECT_EQ(suit.video()->local_video_path, nullptr);
  suit.set_video(suit.video());  // its own copy: unchanged, nothing freed twice
  EXPECT_EQ(suit.video()->width, 1);
  suit.set_video(nullptr);
  EXPECT_EQ(suit.video(), nullptr);
  EXPECT_EQ(suit.audio(), nullptr);
}

}  // namespace
