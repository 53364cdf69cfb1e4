// The real profile functions, run under Wine here: a new file reaches its
// place whole or not at all, and never over a file that is there.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/system.h"

namespace torvinale {
namespace {

std::string Contents(const std::filesystem::path& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

TEST(Win32ProfileTest, NewFileIsMovedIntoPlaceWholeAndNeverOverAFileThatAppeared) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("torvinale-profile-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "config.ini").string();
  Profile& profile = RealProfile();
  auto series = [&](const char* value) {
    profile.StartNewFile(path.c_str());
    EXPECT_TRUE(profile.WriteString("Torvinale", "Countdown", value, path.c_str()));
    EXPECT_TRUE(profile.WriteString("Torvinale", "Pause", "1500", path.c_str()));
    EXPECT_FALSE(std::filesystem::is_regular_file(path));  // not before the flush
  };
  series("5");
  profile.Discard(path.c_str());
  EXPECT_TRUE(std::filesystem::is_empty(dir));

  series("5");
  std::ofstream(path, std::ios::binary) << "[Torvinale]\r\nCountdown=1\r\n";  // another run
  EXPECT_TRUE(profile.WriteString(nullptr, nullptr, nullptr, path.c_str()));
  EXPECT_EQ(Contents(path), "[Torvinale]\r\nCountdown=1\r\n");

  std::filesystem::remove(path);
  series("5");
  EXPECT_TRUE(profile.WriteString(nullptr, nullptr, nullptr, path.c_str()));
  EXPECT_EQ(Contents(path), "[Torvinale]\r\nCountdown=5\r\nPause=1500\r\n");

  std::filesystem::remove(path);
  std::filesystem::create_directory(path);  // not a file to read instead
  series("5");
  EXPECT_FALSE(profile.WriteString(nullptr, nullptr, nullptr, path.c_str()));
  std::filesystem::remove(path);
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace torvinale
