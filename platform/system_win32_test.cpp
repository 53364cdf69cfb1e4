// The real profile functions, run under Wine here: a new file reaches its
// place whole or not at all, and never over a file that is there.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/new_file_win32.h"
#include "platform/shell_win32.h"
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

// The working folder's ANSI text may hold "?" or a look-alike (a sibling that
// exists, here): files are reached by the folder's real name all the same.
TEST(Win32ProfileTest, NewFileIsMadeAndMovedInTheWorkingFolderByItsRealName) {
  const auto base = std::filesystem::temp_directory_path() /
                    ("torvinale-folders-" + std::to_string(GetCurrentProcessId()));
  const auto look_alike = base / L"Capek";
  std::filesystem::create_directories(look_alike);
  wchar_t previous[MAX_PATH + 1];
  GetCurrentDirectoryW(MAX_PATH + 1, previous);
  for (const wchar_t* name : {L"\u0414\u043c\u0438\u0442\u0440\u0438\u0439", L"\u010capek"}) {
    const auto dir = base / name;
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    FileSystem& files = RealFileSystem();
    const std::string path = files.QueryWorkingDirectory() + "\\config.ini";
    SCOPED_TRACE(path);
    EXPECT_FALSE(files.FileIsPresent("config.ini"));

    Profile& profile = RealProfile();
    profile.StartNewFile(path.c_str());
    EXPECT_TRUE(profile.WriteString("Torvinale", "Countdown", "5", path.c_str()));
    EXPECT_FALSE(files.FileIsPresent("config.ini"));
    EXPECT_TRUE(profile.WriteString(nullptr, nullptr, nullptr, path.c_str()));
    EXPECT_EQ(Contents(dir / "config.ini"), "[Torvinale]\r\nCountdown=5\r\n");
    EXPECT_TRUE(files.FileIsPresent("config.ini"));
    char value[2048];
    EXPECT_EQ(profile.GetString("Torvinale", "Countdown", "", value, sizeof value, path.c_str()),
              1u);

    profile.StartNewFile(path.c_str());  // a series dropped leaves nothing beside it
    EXPECT_TRUE(profile.WriteString("Torvinale", "Pause", "0", path.c_str()));
    profile.Discard(path.c_str());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    EXPECT_TRUE(std::filesystem::is_empty(look_alike));
  }
  SetCurrentDirectoryW(previous);
  std::filesystem::remove_all(base);
}

// A run killed before its flush leaves its new file behind; a later run of
// the same process number takes the next name and leaves that file alone.
TEST(Win32ProfileTest, NewFileTakesTheNextNameWhereARunOfTheSameNumberLeftOne) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("torvinale-leftover-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "config.ini").string();
  char leftover[64];
  std::snprintf(leftover, sizeof leftover, "config.ini.%lx.0.tmp", GetCurrentProcessId());
  std::ofstream(dir / leftover, std::ios::binary) << "[Torvinale]\r\nCount";
  Profile& profile = RealProfile();
  profile.StartNewFile(path.c_str());
  EXPECT_TRUE(profile.WriteString("Torvinale", "Countdown", "5", path.c_str()));
  EXPECT_TRUE(profile.WriteString(nullptr, nullptr, nullptr, path.c_str()));
  EXPECT_EQ(Contents(path), "[Torvinale]\r\nCountdown=5\r\n");
  EXPECT_EQ(Contents(dir / leftover), "[Torvinale]\r\nCount");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);
  std::filesystem::remove_all(dir);
}

// MAX_PATH holds the terminating null: a path of 260 characters or more is
// reached by the long form alone, on a drive and on a share.
TEST(Win32PathTest, LongFormFromTheFirstPathThatMaxPathCannotHold) {
  const std::pair<std::size_t, bool> sizes[] = {{259, false}, {260, true}, {261, true}};
  for (const auto& [size, long_form] : sizes) {
    SCOPED_TRACE(size);
    const std::wstring drive = L"C:\\" + std::wstring(size - 3, L'd');
    const std::wstring share = LR"(\\server\share\)" + std::wstring(size - 15, L'd');
    EXPECT_EQ(Reachable(drive), long_form ? LR"(\\?\)" + drive : drive);
    EXPECT_EQ(Reachable(share), long_form ? LR"(\\?\UNC\)" + share.substr(2) : share);
  }
}

// Windows starts no program in such a folder unless it is long-path aware,
// but a folder entered later is as long as it is.
TEST(Win32FileSystemTest, WorkingFolderBeyondMaxPathIsTakenWholeAndLookedIn) {
  std::wstring dir = LR"(\\?\)" + std::filesystem::temp_directory_path().wstring();
  if (!dir.ends_with(L'\\')) dir += L'\\';
  // Made one by one and removed in reverse: the library's calls stop at MAX_PATH.
  std::vector<std::wstring> made{dir + L"torvinale-deep-" + std::to_wstring(GetCurrentProcessId())};
  while (made.back().size() < 300) made.push_back(made.back() + L"\\" + std::wstring(60, L'd'));
  for (const std::wstring& folder : made) CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring config = made.back() + L"\\config.ini";
  DeleteFileW(config.c_str());  // left by a run that had this process number
  wchar_t previous[MAX_PATH + 1];
  GetCurrentDirectoryW(MAX_PATH + 1, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(made.back().c_str()));
  FileSystem& files = RealFileSystem();
  EXPECT_EQ(files.QueryWorkingDirectory().size(), made.back().size() - 4);  // no \\?\ form
  EXPECT_FALSE(files.FileIsPresent("config.ini"));
  CloseHandle(CreateFileW(config.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  EXPECT_TRUE(files.FileIsPresent("config.ini"));
  SetCurrentDirectoryW(previous);
  DeleteFileW(config.c_str());
  for (auto it = made.rbegin(); it != made.rend(); ++it) RemoveDirectoryW(it->c_str());
}

// Text converted as the ANSI functions convert it; the Unicode name only where
// that text lost characters of it, or where the file, without a byte order
// mark, holds bytes that are UTF-8 too.
TEST(Win32ProfileTest, UnicodeValueOnlyWhereTheAnsiTextLostCharacters) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("torvinale-unicode-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "config.ini").string();
  // UTF-16 LE: [T], a=\u0414\\x, b=Zo\u00e9
  const char saved[] =
      "\xff\xfe[\0T\0]\0\r\0\n\0a\0=\0\x14\x04\\\0x\0\r\0\n\0b\0=\0Z\0o\0\xe9\0\r\0\n\0";
  std::ofstream(dir / "config.ini", std::ios::binary) << std::string(saved, sizeof saved - 1);
  Profile& profile = RealProfile();
  char value[2048];
  EXPECT_EQ(profile.GetString("T", "a", "", value, sizeof value, path.c_str()), 3u);
  EXPECT_STREQ(value, "?\\x");
  EXPECT_EQ(profile.GetUnicodeString("T", "a", sizeof value, path.c_str()),
            UnicodeName{"\xd0\x94\\x"});
  EXPECT_EQ(profile.GetUnicodeString("T", "b", sizeof value, path.c_str()), UnicodeName());
  EXPECT_EQ(profile.GetUnicodeString("T", "missing", sizeof value, path.c_str()), UnicodeName());

  // Without a byte order mark: the value's bytes where they are UTF-8, whatever
  // the code page made of them (a Japanese name loses its "." in 932), unless the
  // Windows functions read another value (here: one cut to the buffer).
  const std::string long_value = "\xc3\xab" + std::string(3000, 'x');
  std::ofstream(dir / "config.ini", std::ios::binary)
      << "[T]\r\na=\xe8\xb5\xb7\xe5\x8b\x95.exe\r\nb=Zo\xc3\xab\r\nc=plain\r\nd=Zo\xeb\r\ne="
      << long_value << "\r\n";
  using Use = UnicodeName::Use;
  EXPECT_EQ(profile.GetUnicodeString("T", "a", sizeof value, path.c_str()),
            (UnicodeName{"\xe8\xb5\xb7\xe5\x8b\x95.exe", Use::kWhereOnlyItExists}));
  EXPECT_EQ(profile.GetUnicodeString("T", "b", sizeof value, path.c_str()),
            (UnicodeName{"Zo\xc3\xab", Use::kWhereOnlyItExists}));
  EXPECT_EQ(profile.GetUnicodeString("T", "c", sizeof value, path.c_str()), UnicodeName());
  EXPECT_EQ(profile.GetUnicodeString("T", "d", sizeof value, path.c_str()), UnicodeName());
  const std::size_t n = profile.GetString("T", "e", "", value, sizeof value, path.c_str());
  ASSERT_LT(n, long_value.size());
  EXPECT_EQ(profile.GetUnicodeString("T", "e", sizeof value, path.c_str()),
            (UnicodeName{std::string(value, n), Use::kWhereOnlyItExists}));
  std::filesystem::remove_all(dir);
}

// An entry whose bytes read as ANSI and as UTF-8 goes to the shell by the
// reading that names a file or folder, the ANSI one first; where neither does,
// by the UTF-8 one only in a file that is UTF-8 throughout.
TEST(Win32ShellTest, EntryWithTwoReadingsIsOpenedByTheOneThatExists) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("torvinale-readings-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  wchar_t previous[MAX_PATH + 1];
  GetCurrentDirectoryW(MAX_PATH + 1, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));  // the entries are relative
  const std::string path = (dir / "config.ini").string();
  struct Case {
    const char* label;
    bool ansi_exists, utf8_exists, utf8_file, by_utf8;
  } cases[] = {
      {"the ANSI name", true, false, true, false},
      {"the UTF-8 name", false, true, false, true},
      {"both", true, true, true, false},
      {"neither, in a UTF-8 file", false, false, true, true},
      {"neither, in an ANSI file", false, false, false, false},
  };
  char value[2048];
  auto read = [&](const std::string& entry, bool utf8_file) {
    // A comment with a byte that is no UTF-8 makes the file ANSI only.
    std::ofstream(path, std::ios::binary)
        << (utf8_file ? "" : "; \xc3\r\n") << "[T]\r\na=" << entry << "\r\n";
    const std::size_t n = RealProfile().GetString("T", "a", "", value, sizeof value, path.c_str());
    const UnicodeName name = RealProfile().GetUnicodeString("T", "a", sizeof value, path.c_str());
    EXPECT_EQ(name.utf8, entry);
    return ChooseUnicodeName(std::string(value, n), name);
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    // An e with diaeresis in UTF-8, and other letters in any ANSI code page.
    const std::string entry = "\xc3\xab" + std::to_string(++number);
    const std::wstring ansi = FromAnsi(entry), utf8 = L"\u00eb" + std::to_wstring(number);
    if (c.ansi_exists) std::filesystem::create_directory(dir / ansi);  // a folder opens too
    if (c.utf8_exists) std::ofstream(dir / utf8) << "";
    EXPECT_EQ(read(entry, c.utf8_file), c.by_utf8 ? utf8 : L"");
  }
  // Never a file: the file's form alone decides.
  EXPECT_EQ(read("https://example.org/\xc3\xab", true), L"https://example.org/\u00eb");
  EXPECT_EQ(read("https://example.org/\xc3\xab", false), L"");
  SetCurrentDirectoryW(previous);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace torvinale
