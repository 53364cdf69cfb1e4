#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "runtime/errors.h"

namespace torvinale {
namespace {

// Records the raw calls, to check what reaches the profile functions.
class RecordingProfile final : public Profile {
 public:
  std::string stored;
  std::size_t reported = 0;  // what GetString claims to have copied
  std::vector<std::string> calls;
  bool refuse = false;

  std::size_t GetString(const char* section, const char* key, const char* default_value,
                        char* buffer, std::size_t size, const char*) override {
    calls.push_back(std::string("get ") + section + "/" + key + "=" + default_value + " " +
                    std::to_string(size));
    std::memcpy(buffer, stored.data(), std::min(stored.size(), size));
    return reported;
  }
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* path) override {
    calls.push_back(section == nullptr ? std::string("flush ") + path
                                       : std::string("write ") + section + "/" + key + "=" +
                                             (value == nullptr ? "(null)" : value));
    return !refuse || section == nullptr;
  }
  void StartNewFile(const char* path) override { calls.push_back(std::string("new ") + path); }
  void Discard(const char* path) override { calls.push_back(std::string("discard ") + path); }
};

TEST(IniFileTest, ReadReturnsExactlyTheReportedCharactersFromA2048Buffer) {
  RecordingProfile profile;
  profile.stored = std::string("ab\0cd", 5);
  profile.reported = 5;
  TIniFile ini(profile, "cfg");
  EXPECT_EQ(ini.ReadValue("S", "K", ""), std::string("ab\0cd", 5));
  EXPECT_EQ(profile.calls.front(), "get S/K= 2048");
}

TEST(IniFileTest, EmptyValueIsWrittenAsAnEmptyTextAndClosingFlushes) {
  RecordingProfile profile;
  {
    TIniFile ini(profile, "dir/cfg");
    ini.WriteValue("S", "K", "");
  }
  EXPECT_EQ(profile.calls, (std::vector<std::string>{"write S/K=", "flush dir/cfg"}));
}

TEST(IniFileTest, RefusedWriteNamesThePathAsGivenAndDropsTheSeries) {
  RecordingProfile profile;
  profile.refuse = true;
  try {
    TIniFile ini(profile, "..\\odd path\\config.ini", TIniFile::Opening::kNewFile);
    ini.WriteValue("S", "K", "v");
    FAIL() << "no error";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), "Unable to write to ..\\odd path\\config.ini");
  }
  EXPECT_EQ(profile.calls, (std::vector<std::string>{"new ..\\odd path\\config.ini", "write S/K=v",
                                                     "discard ..\\odd path\\config.ini"}));
}

TEST(IniFileTest, AnyErrorUnwindingThroughDropsTheSeries) {
  RecordingProfile profile;
  try {
    TIniFile ini(profile, "cfg");
    ini.WriteValue("S", "K", "v");
    throw EOutOfMemory("Out of memory");
  } catch (const EOutOfMemory&) {
  }
  EXPECT_EQ(profile.calls, (std::vector<std::string>{"write S/K=v", "discard cfg"}));
}

}  // namespace
}  // namespace torvinale
