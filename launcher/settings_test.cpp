#include "launcher/settings.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "runtime/errors.h"

namespace torvinale {
namespace {

std::string ConvertError(std::string_view text) {
  try {
    StrToInt(text);
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "no error";
}

TEST(StrToIntTest, AcceptsDecimalWithLeadingBlanksAndOneSign) {
  EXPECT_EQ(StrToInt("42"), 42);
  EXPECT_EQ(StrToInt("   42"), 42);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt("-0"), 0);
  EXPECT_EQ(StrToInt("007"), 7);
  EXPECT_EQ(StrToInt("  -15"), -15);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(StrToInt("0000000000000000000012"), 12);
}

TEST(StrToIntTest, ReadsHexadecimalAsTwosComplement) {
  EXPECT_EQ(StrToInt("0x1f"), 31);
  EXPECT_EQ(StrToInt("0X1F"), 31);
  EXPECT_EQ(StrToInt("x10"), 16);
  EXPECT_EQ(StrToInt("X10"), 16);
  EXPECT_EQ(StrToInt("$ff"), 255);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
  EXPECT_EQ(StrToInt("$80000000"), INT32_MIN);
  EXPECT_EQ(StrToInt("-$10"), -16);
  EXPECT_EQ(StrToInt("-$80000000"), INT32_MIN);
  EXPECT_EQ(StrToInt("+0x7fffffff"), 2147483647);
  EXPECT_EQ(StrToInt("$0000000000FF"), 255);
  EXPECT_EQ(StrToInt(" $0"), 0);
}

TEST(StrToIntTest, RejectsEverythingElseWithTheWholeText) {
  for (const char* bad :
       {"",     "   ",        "42 ",  "- 5", "1e3", "2147483648", "-2147483649",
        "abc",  "\t5",        "5\t",  "--5", "+-5", "$",          "0x",
        "00x5", "$100000000", "0x1g", "$-5", "x",   "0b101",      "99999999999999999999",
        "5\n",  "\xff"}) {
    EXPECT_EQ(ConvertError(bad), "'" + std::string(bad) + "' is not a valid integer value")
        << "for \"" << bad << "\"";
  }
  std::string with_nul(
      "12\0"
      "3",
      4);
  EXPECT_EQ(ConvertError(with_nul), "'" + with_nul + "' is not a valid integer value");
}

TEST(ConfigPathTest, AddsOneSeparatorWhateverTheDirectoryEndsWith) {
#ifdef _WIN32
  EXPECT_EQ(ConfigPath("C:\\Users\\me"), "C:\\Users\\me\\config.ini");
  EXPECT_EQ(ConfigPath("C:\\"), "C:\\\\config.ini");
#else
  EXPECT_EQ(ConfigPath("/home/me"), "/home/me/config.ini");
  EXPECT_EQ(ConfigPath("/"), "//config.ini");
#endif
}

class LoadSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { profile.files = &files; }
  void Store(const std::string& key, const std::string& value) {
    profile.values[{ConfigPath(files.directory), kSection, key}] = value;
    files.present.insert(kConfigName);
  }

  testing::FakeFileSystem files;
  testing::FakeProfile profile;
};

TEST_F(LoadSettingsTest, FirstRunWritesTheDefaultsInOrderAndReadsThemBack) {
  Settings settings = LoadSettings(files.directory, files, profile);

  std::vector<std::string> keys = {"Countdown", "Pause"};
  for (int n = 1; n <= 10; ++n) keys.push_back("Program" + std::to_string(n));
  EXPECT_EQ(profile.written_keys, keys);
  EXPECT_EQ(profile.read_keys, keys);
  EXPECT_EQ(files.presence_queries, std::vector<std::string>(2, "config.ini"));
  EXPECT_EQ(profile.new_files, std::vector<std::string>{ConfigPath(files.directory)});
  EXPECT_EQ(profile.flushes, 2);  // each accessor closed

  const std::string path = ConfigPath(files.directory);
  EXPECT_EQ((profile.values[{path, kSection, "Program1"}]), "c:\\windows\\notepad.exe");
  EXPECT_EQ((profile.values[{path, kSection, "Program10"}]), "");
  EXPECT_EQ(settings.counter, 6);
  EXPECT_EQ(settings.pause, 1500);
  EXPECT_EQ(settings.entries[0], "c:\\windows\\notepad.exe");
  EXPECT_EQ(settings.entries[9], "");
}

TEST_F(LoadSettingsTest, ExistingFileIsReadAndNeverRewritten) {
  Store("Countdown", "  $10");
  Store("Pause", "-1");
  Store("Program3", "  spaced entry  ");
  Settings settings = LoadSettings(files.directory, files, profile);
  EXPECT_TRUE(profile.written_keys.empty());
  EXPECT_EQ(settings.counter, 17);
  EXPECT_EQ(settings.pause, -1);
  EXPECT_EQ(settings.entries[2], "  spaced entry  ");
  EXPECT_EQ(settings.entries[0], "");
}

TEST_F(LoadSettingsTest, LargestCountdownDoesNotOverflowTheCounter) {
  Store("Countdown", "2147483647");
  Store("Pause", "0");
  EXPECT_EQ(LoadSettings(files.directory, files, profile).counter, 2147483648LL);
}

TEST_F(LoadSettingsTest, BadCountdownIsReportedBeforePauseIsReadAndTheFileIsClosed) {
  Store("Countdown", "abc");
  Store("Pause", "xyz");
  try {
    LoadSettings(files.directory, files, profile);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'abc' is not a valid integer value");
  }
  EXPECT_EQ(profile.read_keys, std::vector<std::string>{"Countdown"});
  EXPECT_EQ(profile.discards, 1);  // closed on the error's way
}

TEST_F(LoadSettingsTest, MissingCountdownInAnExistingFileIsAnEmptyText) {
  Store("Pause", "10");
  EXPECT_THROW(
      {
        try {
          LoadSettings(files.directory, files, profile);
        } catch (const EConvertError& e) {
          EXPECT_EQ(e.Message(), "'' is not a valid integer value");
          throw;
        }
      },
      EConvertError);
  EXPECT_TRUE(profile.written_keys.empty());
}

TEST_F(LoadSettingsTest, RefusedWriteOrFlushEndsTheRunAndPublishesNothing) {
  struct {
    int writes_before_failure;
    bool flush_fails;
    std::size_t written;
    int flushes, discards;  // a refused write drops the series, a refused flush was the closing
  } cases[] = {{2, false, 2, 0, 1}, {-1, true, 12, 1, 0}};
  for (const auto& c : cases) {
    testing::FakeProfile profile;
    profile.writes_before_failure = c.writes_before_failure;
    profile.flush_fails = c.flush_fails;
    try {
      LoadSettings(files.directory, files, profile);
      ADD_FAILURE() << "no error";
    } catch (const EIniFileException& e) {
      EXPECT_EQ(e.Message(), "Unable to write to " + ConfigPath(files.directory));
    }
    EXPECT_EQ(profile.written_keys.size(), c.written);
    EXPECT_EQ(profile.flushes, c.flushes);
    EXPECT_EQ(profile.discards, c.discards);
    EXPECT_TRUE(profile.values.empty());
    EXPECT_TRUE(profile.read_keys.empty());
  }
}

TEST_F(LoadSettingsTest, FileStillMissingAfterTheDefaultsLeavesSettingsEmpty) {
  profile.files = nullptr;  // the writes succeed but no file appears
  Settings settings = LoadSettings(files.directory, files, profile);
  EXPECT_EQ(settings.counter, 0);
  EXPECT_EQ(settings.pause, 0);
  EXPECT_TRUE(profile.read_keys.empty());
}

}  // namespace
}  // namespace torvinale
