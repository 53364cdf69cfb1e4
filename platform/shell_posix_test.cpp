#include "platform/shell_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace torvinale {
namespace {

namespace fs = std::filesystem;

// What a marker script found out about itself.
struct Report {
  std::map<std::string, std::string> fields;
  std::vector<std::string> args;
};

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/torvinale-shell-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    saved_cwd_ = fs::current_path();
    fs::current_path(dir_);
    opener_ = Marker("opener");
  }
  void TearDown() override {
    fs::current_path(saved_cwd_);
    fs::remove_all(dir_);
  }

  static void Write(const std::string& path, const std::string& text, fs::perms mode) {
    std::ofstream(path) << text;
    fs::permissions(path, mode);
  }

  // An executable script at dir_/name that records its $0, arguments,
  // process state and descriptors into "$0.out", then runs tail.
  std::string Marker(const std::string& name, const std::string& tail = "") {
    std::string path = dir_ + "/" + name;
    Write(path,
          "#!/bin/sh\n"
          "io=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2 | tr '\\n' ' ')\n"
          "fds=$(ls /proc/$$/fd | tr '\\n' ' ')\n"
          "sig=$(grep -E '^Sig(Blk|Ign)' /proc/$$/status | tr -d ' \\t' | tr '\\n' ' ')\n"
          "nowrite=; for fd in 1 2; do echo >&$fd 2>/dev/null || nowrite=\"$nowrite$fd \"; done\n"
          "{\n"
          "  printf 'argv0=%s\\n' \"$0\"\n"
          "  for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done\n"
          "  set -- $(sed 's/.*) //' /proc/$$/stat)\n"
          "  printf 'pid=%s\\nppid=%s\\nsid=%s\\nio=%s\\nfds=%s\\nsig=%s\\nnowrite=%s\\n' \"$$\" "
          "\"$2\" \"$4\" \"$io\" \"$fds\" \"$sig\" \"$nowrite\"\n"
          "} > \"$0.tmp\"\n"
          "mv \"$0.tmp\" \"$0.out\"\n" +
              tail,
          fs::perms::owner_all);
    return path;
  }

  // Waits generously for the marker of path, then takes it away so that the
  // next run writes a fresh one.
  static Report WaitForReport(const std::string& path) {
    std::string out = path + ".out";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(out) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Report report;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) {
      std::size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string key = line.substr(0, eq), value = line.substr(eq + 1);
      if (key == "arg") {
        report.args.push_back(value);
      } else {
        report.fields[key] = value;
      }
    }
    fs::remove(out);
    return report;
  }

  // The single argument the opener was given.
  std::string OpenerArgument() {
    Report report = WaitForReport(opener_);
    EXPECT_EQ(report.args.size(), 1u);
    return report.args.empty() ? "<opener not run>" : report.args[0];
  }

  // qemu-user runs posix_spawn's child, which shares our memory until its exec
  // on the real system, as a fork: the exec's error never comes back there.
  static bool ExecErrorsComeBack() {
#ifdef TORVINALE_SPAWN_BY_FORK
    return true;
#else
    return std::getenv("TORVINALE_EMULATED") == nullptr;
#endif
  }

  PosixShell Shell(const std::string& search_path = "/usr/bin:/bin") {
    return PosixShell(opener_, search_path);
  }

  std::string dir_;
  fs::path saved_cwd_;
  std::string opener_;
};

TEST_F(ShellTest, RunsAnExecutableFileDirectlyWithoutArguments) {
  std::string program = Marker("program");
  ASSERT_TRUE(Shell().Open(program));
  Report report = WaitForReport(program);
  EXPECT_EQ(report.fields["argv0"], program);
  EXPECT_TRUE(report.args.empty());
  EXPECT_FALSE(fs::exists(opener_ + ".out"));
}

TEST_F(ShellTest, EntryWithShellSyntaxIsOneFileName) {
  const std::string name = "a b; touch pwned1 $(touch pwned2) `touch pwned3` 'q\" > pwned4";
  Marker(name);
  ASSERT_TRUE(Shell().Open(name));
  EXPECT_EQ(WaitForReport(dir_ + "/" + name).fields["argv0"], "./" + name);

  Write(dir_ + "/doc; touch pwned5", "text", fs::perms::owner_read);
  ASSERT_TRUE(Shell().Open("doc; touch pwned5"));
  EXPECT_EQ(OpenerArgument(), "./doc; touch pwned5");
  for (int i = 1; i <= 5; ++i) EXPECT_FALSE(fs::exists("pwned" + std::to_string(i))) << i;
}

TEST_F(ShellTest, BareNameRunsTheFirstExecutableFileInAbsolutePathElements) {
  fs::create_directories(dir_ + "/bin0/tool");  // a directory is no program
  fs::create_directories(dir_ + "/bin1");
  Write(dir_ + "/bin1/tool", "#!/bin/sh\n", fs::perms::owner_read);
  fs::create_directories(dir_ + "/bin2");
  fs::rename(Marker("tool"), dir_ + "/bin2/tool");
  // "bin2" is taken from nowhere, not from the working directory.
  PosixShell shell = Shell("bin2::" + dir_ + "/bin0:" + dir_ + "/bin1:" + dir_ + "/bin2");
  ASSERT_TRUE(shell.Open("tool"));
  Report report = WaitForReport(dir_ + "/bin2/tool");
  EXPECT_EQ(report.fields["argv0"], dir_ + "/bin2/tool");
  EXPECT_TRUE(report.args.empty());
  EXPECT_FALSE(shell.Open("not-a-tool"));
}

TEST_F(ShellTest, DashedFileIsNeverTakenForAnOption) {
  std::string program = Marker("-run");
  ASSERT_TRUE(Shell().Open("-run"));
  Report report = WaitForReport(program);
  EXPECT_EQ(report.fields["argv0"], "./-run");
  EXPECT_TRUE(report.args.empty());

  Write(dir_ + "/-doc", "text", fs::perms::owner_read);
  ASSERT_TRUE(Shell().Open("-doc"));
  EXPECT_EQ(OpenerArgument(), "./-doc");
}

TEST_F(ShellTest, FilesDirectoriesAndUrlsGoToTheOpenerUnchanged) {
  Write(dir_ + "/doc.txt", "text", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_directories(dir_ + "/folder");
  // Marked executable but no program: run, it would create "pwned".
  Write(dir_ + "/notes", "touch pwned\n", fs::perms::owner_all);
  for (std::string entry : {dir_ + "/doc.txt", dir_ + "/folder", dir_ + "/notes",
                            std::string("https://example.org/a b?q='1'&r=$(x)"),
                            std::string("mailto:someone@example.org")}) {
    if (entry.ends_with("/notes") && !ExecErrorsComeBack()) continue;
    ASSERT_TRUE(Shell().Open(entry)) << entry;
    EXPECT_EQ(OpenerArgument(), entry);
  }
  EXPECT_FALSE(fs::exists("pwned"));
}

TEST_F(ShellTest, RefusesWhatIsNeitherAFileNorAUrl) {
  for (const char* entry : {"", "missing", "sub/missing", "/nonexistent/x", "-missing",
                            "c:\\windows\\notepad.exe", "x:y", "1http://x", "ab:"}) {
    EXPECT_FALSE(Shell().Open(entry)) << entry;
  }
  // Cut at the NUL, the entry would name this program.
  Marker("program");
  EXPECT_FALSE(Shell().Open(std::string("program\0x", 9)));
}

TEST_F(ShellTest, FailsWhenNothingCouldBeStarted) {
  Write(dir_ + "/doc.txt", "text", fs::perms::owner_read);
  EXPECT_FALSE(PosixShell(dir_ + "/no-opener", "/usr/bin:/bin").Open(dir_ + "/doc.txt"));
  EXPECT_FALSE(PosixShell("no-such-opener", "/usr/bin:/bin").Open("https://example.org"));
  // The kernel finds no interpreter: only the exec itself can tell.
  Write(dir_ + "/broken", "#!/nonexistent/interpreter\n", fs::perms::owner_all);
  if (ExecErrorsComeBack()) {
    EXPECT_FALSE(Shell().Open(dir_ + "/broken"));
  }
}

TEST_F(ShellTest, ProgramStartsDetachedWithNothingOfOurs) {
  std::string program = Marker("program");
  // What a caller may have set up: an ignored SIGPIPE, a blocked signal and
  // a descriptor that is not closed on exec.
  struct sigaction ignore = {}, saved_pipe, saved_usr1;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved_pipe);
  sigaction(SIGUSR1, &ignore, &saved_usr1);
  sigset_t blocked, saved_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  sigprocmask(SIG_BLOCK, &blocked, &saved_mask);
  int extra = open("/dev/null", O_RDONLY);
  ASSERT_EQ(dup2(extra, 77), 77);

  bool opened = Shell().Open(program);
  close(77);
  close(extra);
  sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
  sigaction(SIGPIPE, &saved_pipe, nullptr);
  sigaction(SIGUSR1, &saved_usr1, nullptr);
  ASSERT_TRUE(opened);

  Report report = WaitForReport(program);
  EXPECT_EQ(report.fields["io"], "/dev/null /dev/null /dev/null ");
  EXPECT_EQ(report.fields["nowrite"], "");  // its output may go nowhere, but must not fail
  EXPECT_EQ(report.fields["sig"], "SigBlk:0000000000000000 SigIgn:0000000000000000 ");
  std::string fds = " " + report.fields["fds"];
  EXPECT_NE(fds.find(" 2 "), std::string::npos) << fds;
  EXPECT_EQ(fds.find(" 77 "), std::string::npos) << fds;
  // A session of its own, which it leads.
  EXPECT_EQ(report.fields["sid"], report.fields["pid"]);
  EXPECT_NE(report.fields["sid"], std::to_string(getsid(0)));
}

// Gone from the process table: a zombie would still take the signal.
bool Reaped(pid_t pid) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return kill(pid, 0) == -1 && errno == ESRCH;
}

TEST_F(ShellTest, ChildrenAreReapedAsTheyEndEvenWhileAnOpenerIsAwaited) {
  // The program runs until killed; the opener until it finds "release".
  std::string program = Marker("program", "exec sleep 60\n");
  opener_ = Marker("opener", "while [ ! -e release ]; do sleep 0.01; done\nexit 3\n");
  Write(dir_ + "/doc.txt", "text", fs::perms::owner_read);
  PosixShell shell = Shell();
  ASSERT_TRUE(shell.Open(program));
  pid_t program_pid = std::stoi(WaitForReport(program).fields["pid"]);
  // Ends while the opener is awaited, which takes the full second.
  pid_t opener_pid = 0;
  std::thread killer([&] {
    opener_pid = std::stoi(WaitForReport(opener_).fields["pid"]);
    kill(program_pid, SIGKILL);
  });
  EXPECT_TRUE(shell.Open(dir_ + "/doc.txt"));
  killer.join();
  std::ofstream(dir_ + "/release").close();
  EXPECT_TRUE(Reaped(program_pid));
  EXPECT_TRUE(Reaped(opener_pid));
}

// Sets an environment variable (nullptr: unsets it) for one test.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedVariable() { saved_ ? setenv(name_, saved_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

class MenuEntryTest : public ShellTest {
 protected:
  void SetUp() override {
    ShellTest::SetUp();
    fs::create_directories(dir_ + "/bin");
    gio_ = dir_ + "/bin/gio";
    fs::rename(Marker("gio"), gio_);
    for (const char* folder : {"/home/apps/applications", "/sys1/applications/vendor",
                               "/sys2/applications/vendor", "/rel/applications"}) {
      fs::create_directories(dir_ + folder);
    }
  }

  static std::string Entry(const std::string& type, const std::string& head = "") {
    return head + "[Desktop Entry]\nType=" + type + "\nName=x\nExec=/nonexistent %u\n";
  }

  PosixShell Shell() { return PosixShell(opener_, dir_ + "/bin:/usr/bin:/bin"); }

  // What gio was asked to launch, or what it was not run for.
  std::string Launched() {
    Report report = WaitForReport(gio_);
    if (report.args.size() != 2 || report.args[0] != "launch") return "<not gio launch>";
    return report.args[1];
  }

  std::string gio_;
};

TEST_F(MenuEntryTest, ApplicationEntryGoesToGLibByItsPathFromTheRoot) {
  // Marked executable as desktops mark the entries they trust, and with an
  // interpreter that running it directly would start.
  std::string direct = Marker("direct");
  Write(dir_ + "/app.desktop", Entry("Application", "#!" + direct + "\n"), fs::perms::owner_all);
  for (std::string entry : {dir_ + "/app.desktop", std::string("app.desktop")}) {
    ASSERT_TRUE(Shell().Open(entry)) << entry;
    EXPECT_EQ(Launched(), dir_ + "/app.desktop");
  }
  EXPECT_FALSE(fs::exists(direct + ".out"));
  EXPECT_FALSE(fs::exists(opener_ + ".out"));
}

TEST_F(MenuEntryTest, IdIsLookedUpInTheUsersFolderThenEachSystemFolder) {
  ScopedVariable data_home("XDG_DATA_HOME", (dir_ + "/home/apps").c_str());
  ScopedVariable data_dirs("XDG_DATA_DIRS", ("rel::" + dir_ + "/sys1/:" + dir_ + "/sys2").c_str());
  std::string apps = dir_ + "/home/apps/applications/", sys1 = dir_ + "/sys1/applications/",
              sys2 = dir_ + "/sys2/applications/";
  for (std::string file :
       {apps + "both.desktop", sys1 + "both.desktop", sys2 + "vendor/tool.desktop",
        sys1 + "vendor/other-x.desktop", dir_ + "/rel/applications/rel.desktop",
        dir_ + "/home/apps/escape.desktop"}) {
    Write(file, Entry("Application"), fs::perms::owner_read);
  }
  Write(sys1 + "vendor-link.desktop", Entry("Link"), fs::perms::owner_read);
  // A "-" stands for a folder, or for itself.
  for (auto [id, file] : {std::pair{"both.desktop", apps + "both.desktop"},
                          {"vendor-tool.desktop", sys2 + "vendor/tool.desktop"},
                          {"vendor-other-x.desktop", sys1 + "vendor/other-x.desktop"}}) {
    ASSERT_TRUE(Shell().Open(id)) << id;
    EXPECT_EQ(Launched(), file);
  }
  // Another type goes to the opener, by the file found.
  ASSERT_TRUE(Shell().Open("vendor-link.desktop"));
  EXPECT_EQ(OpenerArgument(), sys1 + "vendor-link.desktop");
  // Not in a relative folder, not above one, never taken for an option.
  Write(sys1 + "-dash.desktop", Entry("Application"), fs::perms::owner_read);
  for (const char* id : {"rel.desktop", "..-escape.desktop", "-dash.desktop", "missing.desktop"}) {
    EXPECT_FALSE(Shell().Open(id)) << id;
  }
  EXPECT_FALSE(fs::exists(gio_ + ".out"));
  EXPECT_FALSE(fs::exists(opener_ + ".out"));
}

TEST_F(MenuEntryTest, UsersFolderIsUnderHomeUnlessItsVariableIsAbsolute) {
  ScopedVariable home("HOME", (dir_ + "/home").c_str());
  ScopedVariable data_dirs("XDG_DATA_DIRS", (dir_ + "/sys1").c_str());
  fs::create_directories(dir_ + "/home/.local/share/applications");
  Write(dir_ + "/home/.local/share/applications/mine.desktop", Entry("Application"),
        fs::perms::owner_read);
  Write(dir_ + "/sys1/applications/mine.desktop", Entry("Application"), fs::perms::owner_read);
  for (const char* data_home : {static_cast<const char*>(nullptr), "", "home/apps"}) {
    ScopedVariable variable("XDG_DATA_HOME", data_home);
    ASSERT_TRUE(Shell().Open("mine.desktop"));
    EXPECT_EQ(Launched(), dir_ + "/home/.local/share/applications/mine.desktop");
  }
}

TEST_F(MenuEntryTest, OtherFilesGoToTheOpenerAsBefore) {
  Write(dir_ + "/link.desktop", Entry("Link"), fs::perms::owner_read);
  Write(dir_ + "/broken.desktop", Entry("Application") + "not a key\n", fs::perms::owner_read);
  // Only so much is read: a huge file is no menu entry.
  Write(dir_ + "/huge.desktop", Entry("Application") + "#" + std::string(1 << 20, 'x') + "\n",
        fs::perms::owner_read);
  Write(dir_ + "/app.txt", Entry("Application"), fs::perms::owner_read);
  // Never opened for reading, which would wait for a writer.
  ASSERT_EQ(mkfifo((dir_ + "/pipe.desktop").c_str(), 0600), 0);
  for (const char* entry :
       {"link.desktop", "broken.desktop", "huge.desktop", "app.txt", "pipe.desktop"}) {
    ASSERT_TRUE(Shell().Open(entry)) << entry;
    EXPECT_EQ(OpenerArgument(), std::string("./") + entry);
  }
  EXPECT_FALSE(fs::exists(gio_ + ".out"));
}

TEST_F(MenuEntryTest, FailsWhenGLibIsMissingOrRefusesTheEntry) {
  Write(dir_ + "/app.desktop", Entry("Application"), fs::perms::owner_read);
  EXPECT_FALSE(PosixShell(opener_, "/nonexistent:" + dir_).Open("app.desktop"));
  fs::remove(gio_);
  Marker("gio", "exit 1\n");
  EXPECT_FALSE(PosixShell(opener_, dir_).Open("app.desktop"));
  EXPECT_EQ(WaitForReport(dir_ + "/gio").args.size(), 2u);
  EXPECT_FALSE(fs::exists(opener_ + ".out"));
}

TEST(MenuEntryTextTest, ApplicationEntryIsTypeApplicationInTheFirstGroupAsGLibReadsIt) {
  for (const char* text : {
           "[Desktop Entry]\nType=Application\n",
           "[Desktop Entry]\r\nName=x\r\nType=Application\r\n",
           "#!/usr/bin/env xdg-open\n\n  [Desktop Entry] \n\tType\t=\tApplication",
           "[Desktop Entry]\nType=Link\nType=Application\n[Desktop Action x]\nType=Link\n",
       }) {
    EXPECT_TRUE(IsApplicationEntry(text)) << text;
  }
  for (const char* text : {
           "",
           "[Desktop Entry]\nType=Link\n",
           "[Desktop Entry]\nType=application\n",
           "[Desktop Entry]\nType=Application \n",
           "[Desktop Entry]\nType[de]=Application\n",
           "[Desktop Entry]\nName=x\n",
           "[Other]\n[Desktop Entry]\nType=Application\n",
           "Type=Application\n[Desktop Entry]\n",
           "\xef\xbb\xbf[Desktop Entry]\nType=Application\n",
           "[Desktop Entry]\nType=Application\nnot a key\n",
           "[Desktop Entry]\n=x\nType=Application\n",
           "[Desktop Entry\nType=Application\n",
           "[Desktop Entry] x\nType=Application\n",
           "[Desktop Entry]\nType=Application\n[Desktop Entry]\nType=Link\n",
       }) {
    EXPECT_FALSE(IsApplicationEntry(text)) << text;
  }
}

TEST(ShellUrlTest, SchemeNeedsTwoCharactersStartingWithALetter) {
  for (const char* url : {"http://x", "mailto:a@b", "svn+ssh://h/p", "x-y.z:1", "HTTPS://X"}) {
    EXPECT_TRUE(LooksLikeUrl(url)) << url;
  }
  for (const char* text : {"mailto:", "c:\\windows\\notepad.exe", "c:/x", ":x", "1a:x", "a_b:x",
                           "a b:x", "http://a\nb", "/usr/bin/x", "plain"}) {
    EXPECT_FALSE(LooksLikeUrl(text)) << text;
  }
}

}  // namespace
}  // namespace torvinale
