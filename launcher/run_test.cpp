#include "launcher/run.h"

#include <gtest/gtest.h>

#include <regex>

#include "fakes.h"
#include "runtime/errors.h"

namespace torvinale {
namespace {

using testing::FakeSink;

struct StopRun {};

class RunTest : public ::testing::Test {
 protected:
  RunTest() : console(transcript), sink(transcript), out(sink) {
    profile.files = &files;
    shell.events = &events;
    clock.events = &events;
  }

  void Configure(const std::string& countdown, const std::string& pause,
                 std::vector<std::string> entries = {}) {
    Store("Countdown", countdown);
    Store("Pause", pause);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      Store("Program" + std::to_string(i + 1), entries[i]);
    }
  }
  void Store(const std::string& key, const std::string& value) {
    profile.values[{ConfigPath(files.directory), kSection, key}] = value;
    files.present.insert(kConfigName);
  }
  void Run() {
    Services services{files, profile, shell, clock, console, out};
    RunLauncher(services);
  }

  static std::string Screen(const std::string& count_row, std::vector<std::string> entries = {}) {
    const std::string rule(68, '=');
    std::string s = "<0,0>" + rule + "\r\n<1,0>" + Banner() + "\r\n<2,0>" + count_row +
                    "\r\n<2,15>ms\r\n<3,0>" + rule + "\r\n<pump>";
    entries.resize(10);
    for (int n = 1; n <= 10; ++n) s += EntryLabel(n) + entries[n - 1] + "\r\n";
    return s;
  }

  testing::Transcript transcript;
  testing::FakeFileSystem files;
  testing::FakeProfile profile;
  testing::FakeShell shell;
  testing::FakeClock clock;
  testing::FakeConsole console;
  FakeSink sink;
  TextOutput out;
  std::vector<std::string> events;
};

TEST_F(RunTest, ScreenTextsAreExact) {
  EXPECT_EQ(Banner().size(), 24u + 23u + std::string("torvinale.example.org 2012").size());
  EXPECT_EQ(Banner().substr(0, 24), "Torvinale version: 1.0.0");
  EXPECT_EQ(ConfirmationLine(1, true),
            "Program1.............................................EXECUTED");
  EXPECT_EQ(ConfirmationLine(10, true),
            "Program10............................................EXECUTED");
  EXPECT_EQ(ConfirmationLine(9, false),
            "Program9...............................................FAILED");
  EXPECT_EQ(ConfirmationLine(10, false).size(), 61u);
  EXPECT_EQ(EntryLabel(10), "Program 10: ");
}

TEST_F(RunTest, FirstRunCountsDownFromFiveAndOpensTheDefaultEntry) {
  Run();
  std::string expected;
  for (int count = 5; count >= 0; --count) {
    expected += Screen("Countdown: " + std::to_string(count) + " ", {"c:\\windows\\notepad.exe"});
  }
  expected += "Program1.............................................EXECUTED\r\n";
  expected += "Closing program...\r\n";
  EXPECT_EQ(transcript.text, expected);
  EXPECT_EQ(clock.sleeps,
            (std::vector<std::uint32_t>{1000, 1000, 1000, 1000, 1000, 1000, 100, 1500, 2000}));
  EXPECT_EQ(shell.opened, std::vector<std::string>{"c:\\windows\\notepad.exe"});
  EXPECT_EQ(console.pumps, 6);
}

TEST_F(RunTest, CountdownOfZeroOrLessGivesOneScreenWithTheConfiguredValue) {
  Configure("-3", "0");
  Run();
  EXPECT_EQ(transcript.text, Screen("Countdown: -3 ") + "Closing program...\r\n");
  EXPECT_EQ(clock.sleeps, (std::vector<std::uint32_t>{1000, 100, 2000}));
}

TEST_F(RunTest, FourDigitCountIsFollowedDirectlyByTheUnit) {
  Configure("1234", "0");
  clock.events = nullptr;
  struct Stopper final : Clock {
    void Sleep(std::uint32_t) override { throw StopRun{}; }
  } stopper;
  Services services{files, profile, shell, stopper, console, out};
  EXPECT_THROW(RunLauncher(services), StopRun);
  EXPECT_EQ(transcript.text, Screen("Countdown: 1234 "));
}

TEST_F(RunTest, LargestCountdownStartsAtItsValueAndKeepsCounting) {
  Configure("2147483647", "0");
  struct Stopper final : Clock {
    int ticks = 0;
    void Sleep(std::uint32_t) override {
      if (++ticks == 2) throw StopRun{};
    }
  } stopper;
  Services services{files, profile, shell, stopper, console, out};
  EXPECT_THROW(RunLauncher(services), StopRun);
  EXPECT_EQ(transcript.text, Screen("Countdown: 2147483647 ") + Screen("Countdown: 2147483646 "));
}

TEST_F(RunTest, OnlyEntriesOfMoreThanTwoCharactersAreOpenedEachWithItsPause) {
  Configure("0", "250", {"ab", "abc", "", "  x", "refused", "", "", "", "", "tenth entry"});
  shell.refused.insert("refused");
  Run();
  EXPECT_EQ(events, (std::vector<std::string>{"sleep 1000", "sleep 100", "open abc", "sleep 250",
                                              "open   x", "sleep 250", "open refused", "sleep 250",
                                              "open tenth entry", "sleep 250", "sleep 2000"}));
  std::string tail = transcript.text.substr(transcript.text.rfind("<pump>") + 6);
  EXPECT_NE(tail.find("Program 1: ab\r\n"), std::string::npos);
  EXPECT_EQ(tail.substr(tail.find("Program2.")),
            "Program2.............................................EXECUTED\r\n"
            "Program4.............................................EXECUTED\r\n"
            "Program5...............................................FAILED\r\n"
            "Program10............................................EXECUTED\r\n"
            "Closing program...\r\n");
}

// The text as read is shown; the shell gets the name the file holds with it, to
// open that and never a look-alike of it (which may be another program). The
// length test is on the text.
TEST_F(RunTest, EntryWithASecondNameIsHandedToTheShellWithIt) {
  const UnicodeName capek{"\xc4\x8c" + std::string("apek\\run.exe")};  // with a caron
  const UnicodeName either{"\xd6\xa3\xce\xb0.exe", UnicodeName::Use::kWhereOnlyItExists};
  Configure("0", "0", {"Capek\\run.exe", "??", "\xd6\xa3\xce\xb0.exe", "plain"});
  const std::string path = ConfigPath(files.directory);
  profile.unicode[{path, kSection, "Program1"}] = capek;
  profile.unicode[{path, kSection, "Program2"}] = {"\xd0\x94\xd0\xbc"};
  profile.unicode[{path, kSection, "Program3"}] = either;
  Run();
  EXPECT_EQ(shell.opened,
            (std::vector<std::string>{"Capek\\run.exe", "\xd6\xa3\xce\xb0.exe", "plain"}));
  EXPECT_EQ(shell.second_names, (std::map<std::string, UnicodeName>{
                                    {"Capek\\run.exe", capek}, {"\xd6\xa3\xce\xb0.exe", either}}));
  EXPECT_NE(transcript.text.find("Program 1: Capek\\run.exe\r\nProgram 2: ??\r\n"),
            std::string::npos);
}

TEST_F(RunTest, NegativePauseDoesNotWait) {
  Configure("0", "-1", {"abc"});
  Run();
  EXPECT_EQ(clock.sleeps, (std::vector<std::uint32_t>{1000, 100, 0, 2000}));
}

TEST_F(RunTest, NoSettingsReadGivesOneScreenShowingMinusOne) {
  profile.files = nullptr;  // the defaults are written, yet no file appears
  Run();
  EXPECT_EQ(transcript.text, Screen("Countdown: -1 ") + "Closing program...\r\n");
  EXPECT_TRUE(shell.opened.empty());
}

TEST_F(RunTest, BadSettingEndsTheRunBeforeAnyOutputOrLaunch) {
  Configure("abc", "1500", {"abc"});
  EXPECT_THROW(Run(), EConvertError);
  EXPECT_EQ(transcript.text, "");
  EXPECT_TRUE(shell.opened.empty());
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(RunTest, FailedConsoleWriteEndsTheRunAfterLaunchesAlreadyMade) {
  Configure("0", "0", {"first", "second"});
  // The screen takes 15 writes on a console; the first confirmation line fails.
  sink.fail_with = 232;
  sink.writes_until_fail = 15;
  try {
    Run();
    FAIL() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 232);
    EXPECT_EQ(e.Message(), "I/O error 232");
  }
  EXPECT_EQ(shell.opened, std::vector<std::string>{"first"});
  EXPECT_EQ(IoResult(), 0);
}

TEST_F(RunTest, RedirectedOutputIsHandedOverInFullBuffersOnly) {
  sink.kind = FakeSink::Kind::kOther;
  Configure("1", "0", {"abc"});
  Run();
  ASSERT_FALSE(sink.writes.empty());
  for (const std::string& piece : sink.writes) EXPECT_EQ(piece.size(), TextOutput::kBufferSize);
  out.Flush();
  EXPECT_LT(sink.writes.back().size(), TextOutput::kBufferSize);

  std::string handed_over;
  for (const std::string& piece : sink.writes) handed_over += piece;
  std::string screen_text = std::regex_replace(transcript.text, std::regex("<[^>]*>"), "");
  EXPECT_EQ(handed_over, screen_text);
  EXPECT_EQ(handed_over.substr(handed_over.size() - 22), "\r\nClosing program...\r\n");
}

}  // namespace
}  // namespace torvinale
