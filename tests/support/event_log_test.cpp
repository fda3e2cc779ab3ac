#include "support/event_log.h"

#include <gtest/gtest.h>

#include "support/atomic_file.h"

#include "temp_dir.h"

using RkTools::FileLogImpl;

namespace {
std::tm At(int hour, int minute, int second, int year, int month, int day) {
  std::tm t{};
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  return t;
}

// Runs with the working directory in a fresh folder, where bare log names land.
class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override { std::filesystem::current_path(previous_); }
  TempDir dir_;
  std::filesystem::path previous_;
};
}  // namespace

TEST(EventLog, TimeStampHasNoLeadingZerosAndMidnightIsHourZero) {
  for (const auto& [time, stamped] :
       {std::pair{std::optional(At(9, 5, 3, 2024, 3, 7)), "AT:9:5:3,2024/3/7-------->m"},
        {std::optional(At(0, 0, 0, 2025, 12, 31)), "AT:0:0:0,2025/12/31-------->m"},
        {std::optional<std::tm>(), "m"}}) {
    std::string message = "m";
    FileLogImpl("x.log", [time] { return time; }).AddTimeStamp(message);
    EXPECT_EQ(message, stamped);
  }
}

using EventLogFile = InTempDir;

TEST_F(EventLogFile, EmptyNameWritesLogTxtAndEntriesAreNotSeparated) {
  FileLogImpl sink("");
  EXPECT_EQ(sink.m_FileName, "log.txt");
  EXPECT_TRUE(sink.AddLog("first"));
  EXPECT_TRUE(sink.AddLog("second\n"));
  EXPECT_EQ(ReadBytes(dir_.path() / "log.txt"), "firstsecond\n");
  sink.Clear();
  EXPECT_EQ(ReadBytes(dir_.path() / "log.txt"), "");
}

TEST_F(EventLogFile, StartUpRepointsTheLogWithoutWritingAnything) {
  EXPECT_EQ(m_Log1.sink().m_FileName, "log.txt");
  m_Log1.control().Pause();
  m_Log1 = RkTools::EventLog("ubs_encoder.cfg", "");
  EXPECT_EQ(m_Log1.sink().m_FileName, "ubs_encoder.cfg");
  EXPECT_TRUE(m_Log1.control().CanAdd("anything"));
  m_Log1.control().Pause();
  EXPECT_FALSE(m_Log1.control().CanAdd("anything"));
  m_Log1.control().Resume();
  EXPECT_TRUE(m_Log1.control().CanAdd(""));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  m_Log1 = RkTools::EventLog("", "");
}
