#include "platform/profile_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

namespace torvinale {
namespace {

class ProfileFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/profile-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/config.ini";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Read(const char* key, std::size_t size = 2048) {
    std::vector<char> buffer(size);
    std::size_t n = profile_.GetString("Torvinale", key, "", buffer.data(), size, path_.c_str());
    EXPECT_EQ(buffer[n], '\0');
    return std::string(buffer.data(), n);
  }
  bool Write(const char* key, const std::string& value) {
    return profile_.WriteString("Torvinale", key, value.c_str(), path_.c_str());
  }
  bool Flush() { return profile_.WriteString(nullptr, nullptr, nullptr, path_.c_str()); }
  static std::string Contents(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
  }
  static void Put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  std::size_t Entries() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_), {}));
  }

  PosixProfile profile_;
  std::string dir_;
  std::string path_;
};

TEST_F(ProfileFile, MissingFileReadsDefaultAndIsNotCreated) {
  char buffer[8];
  EXPECT_EQ(profile_.GetString("S", "k", "default  ", buffer, sizeof buffer, path_.c_str()), 7u);
  EXPECT_STREQ(buffer, "default");
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(ProfileFile, TwelveWritesThenTwelveReadsGiveTheDefaultFile) {
  std::string expected =
      "[Torvinale]\r\nCountdown=5\r\nPause=1500\r\nProgram1=c:\\windows\\notepad.exe\r\n";
  ASSERT_TRUE(Write("Countdown", "5") && Write("Pause", "1500"));
  ASSERT_TRUE(Write("Program1", "c:\\windows\\notepad.exe"));
  for (int n = 2; n <= 10; ++n) {
    std::string key = "Program" + std::to_string(n);
    ASSERT_TRUE(Write(key.c_str(), ""));
    expected += key + "=\r\n";
  }
  EXPECT_TRUE(profile_.WriteString(nullptr, nullptr, nullptr, path_.c_str()));
  EXPECT_EQ(Contents(path_), expected);
  EXPECT_EQ(Read("Countdown"), "5");
  EXPECT_EQ(Read("Pause"), "1500");
  EXPECT_EQ(Read("Program1"), "c:\\windows\\notepad.exe");
  for (int n = 2; n <= 10; ++n) EXPECT_EQ(Read(("Program" + std::to_string(n)).c_str()), "");
  EXPECT_EQ(Entries(), 1u);  // no temporary file left behind
}

TEST_F(ProfileFile, SeriesOfWritesReplacesTheFileOnlyAtTheFlush) {
  const std::string old = "; mine\n[Torvinale]\nCountdown=5\n";
  Put(path_, old);
  // The value gets shorter within the series: the staged file keeps no old tail.
  ASSERT_TRUE(Write("Countdown", "7000") && Write("Pause", "10") && Write("Countdown", "7"));
  EXPECT_EQ(Read("Countdown"), "7");  // pending writes are seen by reads
  EXPECT_EQ(Read("Pause"), "10");
  EXPECT_EQ(Contents(path_), old);  // a run killed now leaves the old file
  EXPECT_EQ(Entries(), 2u);         // and one temporary file beside it
  ASSERT_TRUE(Flush());
  EXPECT_EQ(Contents(path_), "; mine\n[Torvinale]\nCountdown=7\nPause=10\r\n");
  EXPECT_EQ(Entries(), 1u);

  // A failed write drops the whole series: the file stays as it was.
  ASSERT_TRUE(Write("Countdown", "8"));
  EXPECT_FALSE(Write("Bad", "line\nbreak"));  // refused before anything changes
  EXPECT_EQ(Read("Countdown"), "8");
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);  // the target turns into a directory
  EXPECT_FALSE(Flush());
  EXPECT_TRUE(std::filesystem::is_directory(path_));
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(ProfileFile, ReadsFollowTheFileWhenItChanges) {
  Put(path_, "[Torvinale]\nCountdown=1\n");
  EXPECT_EQ(Read("Countdown"), "1");
  EXPECT_EQ(Read("Pause"), "");
  // The section moves: where it began before now lies inside another one.
  Put(path_, "[Other]\nCountdown=3\n[Torvinale]\nPause=2\nCountdown=22\n");
  EXPECT_EQ(Read("Countdown"), "22");
  EXPECT_EQ(Read("Pause"), "2");
  std::filesystem::remove(path_);
  EXPECT_EQ(Read("Countdown"), "");
}

TEST_F(ProfileFile, LongValuesAreCutToTheBuffer) {
  ASSERT_TRUE(Write("A", std::string(2047, 'a')) && Write("B", std::string(3000, 'b')));
  EXPECT_EQ(Read("A"), std::string(2047, 'a'));
  EXPECT_EQ(Read("B"), std::string(2047, 'b'));
  EXPECT_EQ(Read("B", 1), "");
  char untouched = 'x';
  EXPECT_EQ(profile_.GetString("Torvinale", "B", "", &untouched, 0, path_.c_str()), 0u);
  EXPECT_EQ(untouched, 'x');
}

TEST_F(ProfileFile, FailedWritesLeaveNothingBehind) {
  EXPECT_FALSE(profile_.WriteString("S", "k", "v", (dir_ + "/missing/config.ini").c_str()));
  std::filesystem::create_directory(path_);
  EXPECT_FALSE(Write("k", "v"));
  EXPECT_EQ(Read("k"), "");
  EXPECT_EQ(Entries(), 1u);
  std::filesystem::remove(path_);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);  // must neither block nor be replaced
  EXPECT_EQ(Read("k"), "");
  EXPECT_FALSE(Write("k", "v"));
  std::filesystem::remove(path_);
  ASSERT_EQ(symlink("/dev/zero", path_.c_str()), 0);  // endless
  EXPECT_EQ(Read("k"), "");
  std::filesystem::remove(path_);
  Put(path_, "\xFF\xFE[\0S\0]\0");
  EXPECT_FALSE(Write("k", "v"));
  EXPECT_FALSE(Write("k", "a\nb=c"));
  EXPECT_FALSE(profile_.WriteString("S", "k", nullptr, path_.c_str()));
}

TEST_F(ProfileFile, WriteThatRunsOutOfSpaceKeepsTheOldFile) {
  const std::string old = "; mine\n[Torvinale]\nCountdown=5\n";
  Put(path_, old);
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{static_cast<rlim_t>(old.size()), static_cast<rlim_t>(old.size())};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(Write("Countdown", std::string(100, '9')) ? 1 : 0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Contents(path_), old);
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(ProfileFile, ReplacementKeepsModeAndSymbolicLinks) {
  std::string target = dir_ + "/real.ini";
  Put(target, "[Torvinale]\nCountdown=5\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(symlink("real.ini", path_.c_str()), 0);
  ASSERT_TRUE(Write("Countdown", "7"));
  EXPECT_TRUE(Flush());
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_EQ(Contents(target), "[Torvinale]\nCountdown=7\n");
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  std::filesystem::remove(target);  // now dangling: refused, link kept
  EXPECT_FALSE(Write("Countdown", "8"));
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(ProfileFile, NewFileNeverReplacesWhatAppearedMeanwhile) {
  for (auto mode : {NewFileKind::kUnnamedWherePossible, NewFileKind::kNamed}) {
    PosixProfile profile(nullptr, mode);
    ASSERT_TRUE(profile.WriteString("Torvinale", "Countdown", "5", path_.c_str()));
    Put(path_, "[Torvinale]\nCountdown=1\n");  // another run was quicker
    EXPECT_TRUE(profile.WriteString(nullptr, nullptr, nullptr, path_.c_str()));
    EXPECT_EQ(Contents(path_), "[Torvinale]\nCountdown=1\n");
    EXPECT_EQ(Entries(), 1u);

    // Asked for as new, it is never merged into a file that is there already.
    profile.StartNewFile(path_.c_str());
    ASSERT_TRUE(profile.WriteString("Torvinale", "Pause", "1500", path_.c_str()));
    EXPECT_TRUE(profile.WriteString(nullptr, nullptr, nullptr, path_.c_str()));
    EXPECT_EQ(Contents(path_), "[Torvinale]\nCountdown=1\n");
    EXPECT_EQ(Entries(), 1u);

    std::filesystem::remove(path_);
    ASSERT_TRUE(profile.WriteString("Torvinale", "Countdown", "5", path_.c_str()));
    std::filesystem::create_directory(path_);  // not a file to read instead
    EXPECT_FALSE(profile.WriteString(nullptr, nullptr, nullptr, path_.c_str()));
    EXPECT_EQ(Entries(), 1u);
    std::filesystem::remove(path_);
  }
}

TEST_F(ProfileFile, NewFileIsAnOrdinaryFileOnceFlushed) {
  const mode_t saved = umask(022);
  for (auto mode : {NewFileKind::kUnnamedWherePossible, NewFileKind::kNamed}) {
    PosixProfile profile(nullptr, mode);
    profile.StartNewFile(path_.c_str());
    ASSERT_TRUE(profile.WriteString("Torvinale", "Countdown", "5", path_.c_str()));
    EXPECT_TRUE(profile.WriteString(nullptr, nullptr, nullptr, path_.c_str()));
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // as an editor saves it
    // The next series changes it: it is no longer only to be created.
    ASSERT_TRUE(profile.WriteString("Torvinale", "Pause", "1500", path_.c_str()));
    EXPECT_TRUE(profile.WriteString(nullptr, nullptr, nullptr, path_.c_str()));
    EXPECT_EQ(Contents(path_), "[Torvinale]\r\nCountdown=5\r\nPause=1500\r\n");
    EXPECT_EQ(Entries(), 1u);
    std::filesystem::remove(path_);
  }
  umask(saved);
}

TEST_F(ProfileFile, DiscardedOrNeverFlushedSeriesLeaveTheFileAsItWas) {
  const std::string old = "[Torvinale]\nCountdown=5\n";
  Put(path_, old);
  ASSERT_TRUE(Write("Countdown", "7") && Write("Pause", "1"));
  profile_.Discard(path_.c_str());
  EXPECT_EQ(Contents(path_), old);
  EXPECT_EQ(Read("Countdown"), "5");

  std::filesystem::remove(path_);
  for (bool flushed_never : {false, true}) {
    PosixProfile profile(nullptr, NewFileKind::kNamed);
    profile.StartNewFile(path_.c_str());
    ASSERT_TRUE(profile.WriteString("Torvinale", "Countdown", "5", path_.c_str()));
    if (!flushed_never) profile.Discard(path_.c_str());
  }
  EXPECT_EQ(Entries(), 0u);
}

TEST_F(ProfileFile, WorkingFolderIsHeldNotFoundAgainByItsPath) {
  // Its path comes to lead elsewhere, as a mount over a folder above it does.
  const std::string work = dir_ + "/work", moved = dir_ + "/moved";
  std::filesystem::create_directory(work);
  WorkingFolder folder;
  const int back = open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(chdir(work.c_str()), 0);
  const std::string text = folder.Take();
  ASSERT_EQ(fchdir(back), 0);
  close(back);
  std::filesystem::rename(work, moved);
  std::filesystem::create_directory(work);
  Put(work + "/config.ini", "[Torvinale]\nCountdown=1\n");

  PosixProfile profile(&folder);
  const std::string path = text + "/config.ini";
  char value[8];
  EXPECT_EQ(profile.GetString("Torvinale", "Countdown", "", value, sizeof value, path.c_str()), 0u);
  profile.StartNewFile(path.c_str());
  ASSERT_TRUE(profile.WriteString("Torvinale", "Countdown", "5", path.c_str()));
  EXPECT_TRUE(profile.WriteString(nullptr, nullptr, nullptr, path.c_str()));
  EXPECT_EQ(Contents(moved + "/config.ini"), "[Torvinale]\r\nCountdown=5\r\n");
  EXPECT_EQ(Contents(work + "/config.ini"), "[Torvinale]\nCountdown=1\n");
  EXPECT_EQ(profile.GetString("Torvinale", "Countdown", "", value, sizeof value, path.c_str()), 1u);
  EXPECT_STREQ(value, "5");
}

TEST_F(ProfileFile, NamedNewFileIsNeverReopenedThroughALinkPutInItsPlace) {
  PosixProfile profile(nullptr, NewFileKind::kNamed);
  const std::string victim = dir_ + "/victim";
  Put(victim, "outside\n");
  ASSERT_TRUE(profile.WriteString("Torvinale", "Countdown", "5", path_.c_str()));
  ASSERT_EQ(Entries(), 2u);
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    if (entry.path() == victim) continue;
    std::filesystem::remove(entry.path());
    std::filesystem::create_symlink(victim, entry.path());
  }
  ASSERT_TRUE(profile.WriteString("Torvinale", "Pause", "1500", path_.c_str()));
  EXPECT_FALSE(profile.WriteString(nullptr, nullptr, nullptr, path_.c_str()));
  EXPECT_EQ(Contents(victim), "outside\n");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path_)));
  EXPECT_EQ(Entries(), 1u);
}

volatile sig_atomic_t caught = 0;

TEST_F(ProfileFile, EndingSignalsWaitUntilTheSeriesIsInTheFile) {
  const int signals[] = {SIGTERM, SIGINT, SIGUSR1, SIGALRM, SIGXCPU, SIGXFSZ};
  struct sigaction count {
  }, saved[std::size(signals)];
  count.sa_handler = [](int) { caught = caught + 1; };
  for (std::size_t i = 0; i < std::size(signals); ++i) sigaction(signals[i], &count, &saved[i]);
  PosixProfile profile(nullptr, NewFileKind::kNamed);
  caught = 0;
  ASSERT_TRUE(profile.WriteString("Torvinale", "Countdown", "5", path_.c_str()));
  for (int sig : signals) raise(sig);
  ASSERT_TRUE(profile.WriteString("Torvinale", "Pause", "1500", path_.c_str()));
  EXPECT_EQ(caught, 0);
  EXPECT_TRUE(profile.WriteString(nullptr, nullptr, nullptr, path_.c_str()));
  EXPECT_EQ(caught, static_cast<int>(std::size(signals)));
  EXPECT_EQ(Contents(path_), "[Torvinale]\r\nCountdown=5\r\nPause=1500\r\n");
  for (std::size_t i = 0; i < std::size(signals); ++i) sigaction(signals[i], &saved[i], nullptr);
}

}  // namespace
}  // namespace torvinale
