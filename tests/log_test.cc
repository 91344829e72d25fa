#include "utils/log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "hilog/log_sink.h"

namespace {

// The signature as this compiler spells it, taken from the same function.
std::string g_signature;

template <typename T>
int log_from_template(T value) {
  g_signature = __PRETTY_FUNCTION__;
  return (SLOG("value %d", static_cast<int>(value)), __LINE__);
}

TEST(Log, LineLayoutAndRecord) {
  hilog::Capture cap;
  const int line = log_from_template<short>(7);
  const auto records = cap.records();
  ASSERT_EQ(records.size(), 1u);
  const auto& r = records[0];
  EXPECT_EQ(r.type, 0);   // LOG_APP
  EXPECT_EQ(r.level, 4);  // LOG_INFO
  EXPECT_EQ(r.domain, 0u);
  EXPECT_EQ(r.tag, "Sonora");
  // The whole signature with the template argument (g++: "[with T = short int]", clang:
  // "[T = short]"), then the line.
  const std::string expected = "[" + g_signature + ":" + std::to_string(line) + "], value 7";
  EXPECT_EQ(r.text, expected);
  EXPECT_NE(g_signature.find("log_from_template(T) ["), std::string::npos);
  EXPECT_NE(g_signature.find("short"), std::string::npos);
}

TEST(Log, NewlinesKeptNotAdded) {
  hilog::Capture cap;
  SLOG("with newline\n");
  SLOG("without");
  SLOG("%s", "");
  const auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 3u);
  const std::string suffix = "], with newline\n";
  ASSERT_GE(lines[0].size(), suffix.size());
  EXPECT_EQ(lines[0].substr(lines[0].size() - suffix.size()), suffix);
  EXPECT_EQ(lines[1].back(), 't');
  EXPECT_EQ(lines[2].substr(lines[2].size() - 3), "], ");
  EXPECT_EQ(lines[0].find("[virtual void"), 0u);  // a test body is a virtual member function
}

TEST(Log, LongMessageIsCut) {
  hilog::Capture cap;
  const std::string path(10000, 'p');
  SLOG("open %s failed", path.c_str());
  const auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string& text = lines[0];
  EXPECT_LE(text.size(), 4095u);
  EXPECT_GT(text.size(), 4000u);
  EXPECT_EQ(text[0], '[');
  const size_t msg = text.find("], open ppp");
  ASSERT_NE(msg, std::string::npos);
  EXPECT_EQ(text.find_first_not_of('p', msg + 8), std::string::npos);
}

TEST(Log, ConcurrentLinesStayWhole) {
  hilog::Capture cap;
  const std::string a(1000, 'a');
  const std::string b(1000, 'b');
  constexpr int kPerThread = 500;
  std::thread ta([&] {
    for (int i = 0; i < kPerThread; ++i) SLOG("%s|%d", a.c_str(), i);
  });
  std::thread tb([&] {
    for (int i = 0; i < kPerThread; ++i) SLOG("%s|%d", b.c_str(), i);
  });
  ta.join();
  tb.join();
  const auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 2u * kPerThread);
  int whole_a = 0, whole_b = 0;
  for (const auto& l : lines) {
    const size_t start = l.find("], ");
    ASSERT_NE(start, std::string::npos);
    const std::string msg = l.substr(start + 3, 1000);
    if (msg == a) ++whole_a;
    if (msg == b) ++whole_b;
  }
  EXPECT_EQ(whole_a, kPerThread);
  EXPECT_EQ(whole_b, kPerThread);
}

}  // namespace
