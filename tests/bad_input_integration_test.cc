// Calls in the wrong order, as a new user makes them: each is refused (false) and leaves the
// engine usable; none crashes or touches a released object (run under the address sanitizer).
#include <gtest/gtest.h>
#include <hilog/log_sink.h>
#include <ohaudio/virtual_device.h>

#include <cstring>
#include <functional>
#include <vector>

#include "sonora/sonora.h"
#include "test_support.h"

namespace {

using sonora::byte;
using sonora::PlaySuit;
using sonora::Sonora;
using testing_support::eventually;
using testing_support::pcm_suit;
using testing_support::RecordingHandler;

constexpr size_t kBlock = 640;

void ignore(const byte*, size_t, uint64_t) {}

class WrongOrder : public testing_support::ManualClockTest {
 protected:
  void SetUp() override {
    testing_support::ManualClockTest::SetUp();
    vdev::set_capture_source(std::vector<uint8_t>(kBlock * 4, 0x11), true);
  }
  void TearDown() override {
    testing_support::ManualClockTest::TearDown();
    Sonora::deinit();
  }
  sonora::audio::Suit audio_ = pcm_suit(16000, 1, 16, kBlock);
};

struct Case {
  const char* what;
  std::function<void(Sonora& a, Sonora& b)> run;
};

// Each case runs on two fresh instances of the same suit; afterwards both can still play and
// capture.
TEST_F(WrongOrder, IsRefusedAndLeavesTheEngineUsable) {
  std::vector<byte> block(kBlock, 1);
  const Case cases[] = {
      {"deinit while instances exist",
       [](Sonora&, Sonora&) {
         hilog::Capture log;
         EXPECT_FALSE(Sonora::deinit());
         EXPECT_EQ(log.count("deinit refused: 2 player instances exist"), 1u);
       }},
      {"stop capture that never started",
       [](Sonora& a, Sonora&) {
         EXPECT_FALSE(a.stop_record_audio());
         EXPECT_FALSE(a.adjust_capture_volume(2.0f));
         EXPECT_FALSE(a.adjust_capture_volume_type(4));
       }},
      {"stop playback that never started",
       [](Sonora& a, Sonora&) {
         EXPECT_FALSE(a.enable_audio(false));
         EXPECT_FALSE(a.pause());
         EXPECT_FALSE(a.resume());
       }},
      {"append before playback starts",
       [&block](Sonora& a, Sonora&) {
         EXPECT_FALSE(a.append_audio_data(block.data(), block.size(), nullptr));
         EXPECT_EQ(a.audio_left(), 0u);
       }},
      {"an instance that captured before stops another one's capture",
       [](Sonora& a, Sonora& b) {
         ASSERT_TRUE(b.start_record_audio(ignore, 0));
         ASSERT_TRUE(b.stop_record_audio());
         ASSERT_TRUE(a.start_record_audio(ignore, 0));
         EXPECT_FALSE(b.stop_record_audio());
         EXPECT_TRUE(a.adjust_capture_volume(2.0f));
         EXPECT_TRUE(a.stop_record_audio());
       }},
      {"deinit while capturing",
       [](Sonora& a, Sonora&) {
         ASSERT_TRUE(Sonora::init(nullptr));
         ASSERT_TRUE(a.start_record_audio(ignore, 0));
         hilog::Capture log;
         EXPECT_FALSE(Sonora::deinit());
         EXPECT_FALSE(Sonora::init(nullptr));
         EXPECT_EQ(log.count("refused: capture is running"), 2u);
         EXPECT_EQ(vdev::pump_capture(1), 1);
         EXPECT_TRUE(a.stop_record_audio());
         EXPECT_FALSE(Sonora::deinit());  // the instances still exist
       }},
      {"an instance that captured keeps playing while deinit is refused",
       [&block](Sonora& a, Sonora&) {
         ASSERT_TRUE(a.enable_audio(true));
         ASSERT_TRUE(a.start_record_audio(ignore, 0));
         ASSERT_TRUE(a.stop_record_audio());
         EXPECT_FALSE(Sonora::deinit());
         EXPECT_TRUE(a.append_audio_data(block.data(), block.size(), nullptr));
         EXPECT_EQ(vdev::pump_render(1), 1);  // its renderer still reaches a live recorder
         EXPECT_FALSE(a.stop_record_audio());
         EXPECT_TRUE(a.enable_audio(false));
       }},
      {"destroy an instance while it captures",
       [](Sonora&, Sonora& b) {
         ASSERT_TRUE(b.start_record_audio(ignore, 0));
         EXPECT_EQ(vdev::pump_capture(1), 1);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlaySuit suit(1, sonora::kPTypeByFPS, &audio_, nullptr);
    {
      Sonora a(&suit, nullptr);
      {
        Sonora b(&suit, nullptr);
        c.run(a, b);
      }  // b is destroyed here, capturing or not
      for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(a.enable_audio(true));
        ASSERT_TRUE(a.start_record_audio(ignore, 0));
        EXPECT_TRUE(a.append_audio_data(block.data(), block.size(), nullptr));
        EXPECT_EQ(vdev::pump_render(1), 1);
        EXPECT_EQ(vdev::pump_capture(1), 1);
        EXPECT_TRUE(a.stop_record_audio());
        EXPECT_TRUE(a.enable_audio(false));
      }
    }
    EXPECT_TRUE(Sonora::deinit());  // every instance is gone
  }
}

// An auto-stop playback that has run dry plays nothing more: appends are refused from then on,
// and a new start plays again.
TEST_F(WrongOrder, AppendAfterAutoStopRanDryIsRefused) {
  RecordingHandler handler;
  PlaySuit suit(1, sonora::kPTypeAutoStop, &audio_, nullptr);
  Sonora player(&suit, &handler);
  std::vector<byte> block(kBlock, 1);
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(player.enable_audio(true));
    ASSERT_TRUE(player.append_audio_data(block.data(), block.size(), nullptr));
    for (int i = 0; i < 20 && handler.count(sonora::kArg1AudioPlayerWorking,
                                            sonora::kArg2AutoStop) < static_cast<size_t>(run + 1);
         ++i) {
      vdev::pump_render(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(eventually([&] {
      return handler.count(sonora::kArg1AudioPlayerWorking, sonora::kArg2AutoStop) ==
             static_cast<size_t>(run + 1);
    }));
    EXPECT_FALSE(player.append_audio_data(block.data(), block.size(), nullptr));
    EXPECT_EQ(player.audio_left(), 0u);
    player.enable_audio(false);
  }
}

}  // namespace
