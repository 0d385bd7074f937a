#include "framework/Log.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace orvane::log;

namespace {

std::chrono::system_clock::time_point at(int ms) {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

TEST(Log, JournalLinesCarryTheSyslogPriority) {
  EXPECT_EQ(formatLine(Severity::error, "device PiezoDriver", "register read failed", true, at(0)),
            "<3>device PiezoDriver: register read failed");
  EXPECT_EQ(formatLine(Severity::info, "ca", "x", true, at(0)), "<6>ca: x");
  EXPECT_EQ(formatLine(Severity::warning, "ca", "x", true, at(0)).substr(0, 3), "<4>");
  EXPECT_EQ(formatLine(Severity::notice, "ca", "x", true, at(0)).substr(0, 3), "<5>");
  EXPECT_EQ(formatLine(Severity::critical, "ca", "x", true, at(0)).substr(0, 3), "<2>");
}

TEST(Log, PlainLinesCarryTimeAndSeverityName) {
  auto line = formatLine(Severity::warning, "server", "TCP port 5064 is taken", false, at(1234));
  // Local time with milliseconds, then the severity's name.
  ASSERT_GT(line.size(), 24u);
  EXPECT_EQ(line[4], '-');
  EXPECT_EQ(line[10], 'T');
  EXPECT_EQ(line.substr(19, 5), ".234 ");
  EXPECT_EQ(line.substr(24), "warning server: TCP port 5064 is taken");
}

TEST(Log, AnEventStaysOneLine) {
  auto line =
      formatLine(Severity::error, "device D", "init script said:\nline 1\r\nline 2\x1b[0m\tend", true, at(0));
  EXPECT_EQ(line, "<3>device D: init script said:\\nline 1\\r\\nline 2\\x1b[0m\tend");
  EXPECT_EQ(line.find('\n'), std::string::npos);

  std::string huge(100000, 'x');
  line = formatLine(Severity::info, "s", huge, true, at(0));
  EXPECT_LT(line.size(), 4100u);
  EXPECT_NE(line.find("(96000 more bytes)"), std::string::npos);
}

TEST(Log, CaptureTakesWholeLinesFromEveryThread) {
  Capture capture;
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i)
        info("thread " + std::to_string(t), "event " + std::to_string(i));
    });
  for (auto& t : threads)
    t.join();
  auto all = capture.entries();
  ASSERT_EQ(all.size(), 400u);
  EXPECT_EQ(capture.find("event 99").size(), 4u);
  EXPECT_EQ(all[0].severity, Severity::info);
  capture.clear();
  EXPECT_TRUE(capture.entries().empty());
}

} // namespace
