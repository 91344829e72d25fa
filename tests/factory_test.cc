#include "audio/factory.h"

#include <gtest/gtest.h>
#include <hilog/log_sink.h>

#include <cstring>
#include <memory>
#include <string>

#include "audio/aec.h"
#include "audio/ns.h"
#include "audio/player.h"
#include "sonora/sonora.h"
#include "test_support.h"

namespace {

using sonora::audio::Factory;

TEST(Factory, SingletonKeepsTheFirstDebugPath) {
  Factory::destroy();
  Factory* a = Factory::instance(nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(Factory::get_debug_path(), "");
  Factory::destroy();
  Factory::destroy();  // nothing to destroy: harmless

  Factory* first = Factory::instance("/data/A");
  EXPECT_EQ(Factory::instance("/data/B"), first);
  EXPECT_STREQ(Factory::get_debug_path(), "/data/A");
  Factory::destroy();
  ASSERT_NE(Factory::instance("/data/B"), nullptr);
  EXPECT_STREQ(Factory::get_debug_path(), "/data/B");
  Factory::destroy();

  // Through the facade: init creates the factory with the path, deinit destroys it.
  EXPECT_TRUE(sonora::Sonora::init("/data/C"));
  EXPECT_STREQ(Factory::get_debug_path(), "/data/C");
  EXPECT_TRUE(sonora::Sonora::deinit());
}

TEST(Factory, OverlongDebugPathIsCutNeverOverflowed) {
  Factory::destroy();
  hilog::Capture log;
  for (size_t n :
       {static_cast<size_t>(2047), static_cast<size_t>(2048), static_cast<size_t>(10000)}) {
    std::string path(n, 'p');
    path[0] = '/';
    ASSERT_NE(Factory::instance(path.c_str()), nullptr);
    std::string stored = Factory::get_debug_path();
    EXPECT_EQ(stored.size(), std::min<size_t>(n, 2047));
    EXPECT_EQ(stored, path.substr(0, stored.size()));
    Factory::destroy();
  }
  EXPECT_EQ(log.count("debug path of"), 2u);
  // The log line of init with such a path is cut at the line's end, not written beyond it.
  std::string huge(9000, 'x');
  log.clear();
  EXPECT_TRUE(sonora::Sonora::init(huge.c_str()));
  auto lines = log.lines();
  ASSERT_FALSE(lines.empty());
  for (const auto& l : lines) EXPECT_LE(l.size(), 4095u);
  // g++ spells the parameter "const char*", clang "const char *".
  EXPECT_TRUE(lines[0].rfind("[static bool sonora::Body::init(const char*):", 0) == 0 ||
              lines[0].rfind("[static bool sonora::Body::init(const char *):", 0) == 0)
      << lines[0];
  sonora::Sonora::deinit();
}

TEST(Factory, CreatorsMakeNewIndependentComponents) {
  hilog::Capture log;
  std::unique_ptr<sonora::audio::Player> p1(Factory::gen_player());
  std::unique_ptr<sonora::audio::Player> p2(Factory::gen_player());
  ASSERT_NE(p1, nullptr);
  ASSERT_NE(p2, nullptr);
  EXPECT_NE(p1.get(), p2.get());
  EXPECT_EQ(log.count("Factory::gen_player, player:"), 2u);
  EXPECT_FALSE(p1->is_working());
  EXPECT_TRUE(p1->is_paused());

  sonora::audio::Suit plain = testing_support::pcm_suit(16000, 1, 16, 640);
  sonora::PlaySuit suit(1, sonora::kPTypeByFPS, &plain, nullptr);
  std::unique_ptr<sonora::audio::AEC> aec(Factory::gen_aec(suit.audio()));
  ASSERT_NE(aec, nullptr);
  EXPECT_FALSE(aec->is_working());  // the suit does not ask for echo cancellation
  std::unique_ptr<sonora::audio::NS> ns(Factory::gen_ns(suit.audio()));
  ASSERT_NE(ns, nullptr);
  EXPECT_FALSE(ns->is_working());
  std::unique_ptr<sonora::audio::AEC> none(Factory::gen_aec(nullptr));
  ASSERT_NE(none, nullptr);
  EXPECT_FALSE(none->is_working());
  EXPECT_NE(none->get_status(), nullptr);
}

}  // namespace
