#include "platform/shell_posix.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

// One posix_spawn per entry where the C library can give the program a session
// of its own and close every descriptor of ours; a fork otherwise.
#if !defined(TORVINALE_SPAWN_BY_FORK) && defined(POSIX_SPAWN_SETSID) &&  \
    ((defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)) || \
     defined(POSIX_SPAWN_CLOEXEC_DEFAULT))
#define TORVINALE_POSIX_SPAWN 1
#elif defined(__linux__)
#include <sys/syscall.h>
#endif

extern char** environ;

namespace torvinale {
namespace {

#ifdef __APPLE__
constexpr char kDesktopOpener[] = "open";
#else
constexpr char kDesktopOpener[] = "xdg-open";
#endif
// What execvp falls back on when PATH is unset.
constexpr char kDefaultSearchPath[] = "/bin:/usr/bin";
#ifdef __APPLE__
constexpr bool kMenuEntries = false;
#else
// An application's menu entry is started as the desktop starts it, by GLib,
// which reads the rest of it (Exec, TryExec, Terminal, Path, D-Bus).
constexpr bool kMenuEntries = true;
#endif
constexpr char kMenuEntryLauncher[] = "gio";
constexpr char kMenuEntrySuffix[] = ".desktop";
// Where menu entries are looked up by ID when the XDG variables say nothing.
constexpr char kDefaultDataDirs[] = "/usr/local/share/:/usr/share/";
// A menu entry is a few kilobytes, every translation included.
constexpr std::size_t kMenuEntryMaxBytes = 1 << 20;
// Files one desktop file ID may cost to look up, whatever the folders hold.
constexpr int kMenuEntryLookups = 1024;
// How long an opener has to report a failure. xdg-open finds out that no
// program handles the entry after a few lookups, well within it; where the
// opener stays until the opened program ends, each entry costs this much.
constexpr long kOpenerWaitNs = 1'000'000'000;
// The first and the longest naps between looks at the opener.
constexpr long kFirstNapNs = 1'000'000;
constexpr long kLongestNapNs = 32'000'000;

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Blanks as GLib's key-file reader skips them.
std::string_view TrimLeft(std::string_view text) {
  std::size_t start = text.find_first_not_of(" \t\v\f\r");
  return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

std::string_view TrimRight(std::string_view text) {
  std::size_t end = text.find_last_not_of(" \t\v\f\r");
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

// folder + "/" + name, with one slash between them whatever folder ends in.
std::string Joined(std::string_view folder, std::string_view name) {
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

// A relative path handed on as "./path": a script's interpreter would read
// "-x" as an option and search PATH for a bare name, and the opener would take
// "http:x" for a URL.
std::string Anchored(const std::string& path) { return path[0] == '/' ? path : "./" + path; }

// The first non-empty find(folder) over the absolute folders of a
// colon-separated list: an empty element, ".", or "bin" would name whatever
// the working directory holds.
template <typename Find>
std::string FindInFolders(std::string_view folders, Find find) {
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    if (end == std::string_view::npos) end = folders.size();
    if (end > start && folders[start] == '/') {
      std::string found = find(folders.substr(start, end - start));
      if (!found.empty()) return found;
    }
    start = end + 1;
  }
  return std::string();
}

// A name is only run from the working directory when the entry names an
// existing file.
std::string FindOnPath(const std::string& name, std::string_view search_path) {
  return FindInFolders(search_path, [&](std::string_view folder) {
    std::string candidate = Joined(folder, name);
    return IsExecutableFile(candidate) ? candidate : std::string();
  });
}

// The file under folder that desktop file ID rest names, each "-" in it
// standing for a "/" or for itself: "org-app.desktop" may be org/app.desktop.
std::string FindMenuEntryIn(const std::string& folder, std::string_view rest, int& lookups) {
  std::string file = Joined(folder, rest);
  if (--lookups < 0) return std::string();
  if (IsRegularFile(file)) return file;
  for (std::size_t dash = rest.find('-'); dash != std::string_view::npos;
       dash = rest.find('-', dash + 1)) {
    std::string_view sub = rest.substr(0, dash);
    // Never up or in place: "..-x.desktop" names nothing outside the folder.
    if (sub.empty() || sub == "." || sub == "..") continue;
    std::string subfolder = Joined(folder, sub);
    if (--lookups < 0) return std::string();
    if (!IsDirectory(subfolder)) continue;
    std::string found = FindMenuEntryIn(subfolder, rest.substr(dash + 1), lookups);
    if (!found.empty()) return found;
  }
  return std::string();
}

// The first file that desktop file ID id names in the "applications" folder
// of $XDG_DATA_HOME (~/.local/share), then of each of $XDG_DATA_DIRS, as
// desktops look it up. Relative folders count for nothing.
std::string FindMenuEntry(const std::string& id) {
  int lookups = kMenuEntryLookups;
  auto find = [&](std::string_view data_folder) {
    return FindMenuEntryIn(Joined(data_folder, "applications"), id, lookups);
  };
  const char* data_home = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  std::string found;
  if (data_home != nullptr && data_home[0] == '/') {
    found = find(data_home);
  } else if (home != nullptr && home[0] == '/') {
    found = find(Joined(home, ".local/share"));
  }
  const char* data_dirs = std::getenv("XDG_DATA_DIRS");
  if (data_dirs == nullptr || data_dirs[0] == '\0') data_dirs = kDefaultDataDirs;
  return found.empty() ? FindInFolders(data_dirs, find) : found;
}

// A regular file named "*.desktop" of at most kMenuEntryMaxBytes that holds
// an application's menu entry. A pipe or device is never opened for reading.
bool IsApplicationFile(const std::string& path) {
  if (!kMenuEntries || !path.ends_with(kMenuEntrySuffix) || !IsRegularFile(path)) return false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  std::string text;
  bool whole = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  while (whole) {
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || text.size() + std::size_t(n) > kMenuEntryMaxBytes) {
      whole = n == 0;
      break;
    }
    text.append(chunk, std::size_t(n));
  }
  close(fd);
  return whole && IsApplicationEntry(text);
}

// The file from the root: GLib hands it on to the application (%k and
// GIO_LAUNCHED_DESKTOP_FILE), which may run in another folder (Path=).
// Anchored where the working directory has no name to give.
std::string FromRoot(const std::string& path) {
  if (path[0] == '/') return path;
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) return Anchored(path);
  std::string whole = Joined(cwd, path);
  std::free(cwd);
  return whole;
}

#ifdef TORVINALE_POSIX_SPAWN

// What every entry is started with, set up once: the C library checks each
// descriptor against the limit as it is added.
struct SpawnSettings {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  int error = 0;

  // Never destroyed: they serve until the process ends.
  SpawnSettings() {
    error = posix_spawn_file_actions_init(&actions);
    if (error == 0) error = posix_spawnattr_init(&attributes);
    short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    // Every signal to its default, so that an ignored SIGPIPE of ours never
    // reaches the program; nothing blocked.
    sigset_t all, none;
    sigfillset(&all);
#ifdef __GLIBC__
    // Its sigfillset leaves out the two signals glibc keeps for itself, and
    // posix_spawn would hand those to the program ignored, which outlasts exec.
    std::memset(&all, 0xff, sizeof all);
#endif
    sigemptyset(&none);
    if (error == 0) error = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
    if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, 0, 1);
    if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, 0, 2);
#ifndef POSIX_SPAWN_CLOEXEC_DEFAULT
    if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    if (error == 0) error = posix_spawnattr_setflags(&attributes, flags);
    if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &all);
    if (error == 0) error = posix_spawnattr_setsigmask(&attributes, &none);
  }
};

// The C library reports the exec's own error; on Linux the child shares our
// memory until the exec, so nothing of ours is copied.
int Spawn(const char* program, char* const argv[], pid_t& pid) {
  static SpawnSettings settings;
  if (settings.error != 0) return settings.error;
  return posix_spawn(&pid, program, &settings.actions, &settings.attributes, argv, environ);
}

#else

// Where descriptors are closed one by one, a limit beyond reason is cut here.
constexpr long kMaxDescriptorsToClose = 1 << 16;

[[noreturn]] void ReportAndExit(int status_fd) {
  int error = errno;
  ssize_t ignored = write(status_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

void CloseDescriptorsAbove2(int keep, int max_fd) {
#if defined(__linux__) && defined(SYS_close_range)
  if ((keep == 3 || syscall(SYS_close_range, 3U, unsigned(keep - 1), 0U) == 0) &&
      syscall(SYS_close_range, unsigned(keep + 1), ~0U, 0U) == 0) {
    return;
  }
#endif
  for (int fd = 3; fd < max_fd; ++fd) {
    if (fd != keep) close(fd);
  }
}

// Runs between fork and exec, so async-signal-safe calls only. Exits with the
// errno of the first failure written to status_fd, which closes on exec.
[[noreturn]] void ExecDetached(const char* program, char* const argv[], int status_fd, int max_fd) {
  if (setsid() < 0) ReportAndExit(status_fd);
  if (status_fd <= STDERR_FILENO) {
    status_fd = fcntl(status_fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (status_fd < 0) _exit(127);
  }
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) ReportAndExit(status_fd);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (null_fd != fd && dup2(null_fd, fd) < 0) ReportAndExit(status_fd);
  }
  CloseDescriptorsAbove2(status_fd, max_fd);

  // Defaults first, then the mask: an ignored SIGPIPE of ours must not reach
  // the program, and nothing pending may be acted on before exec.
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &default_action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  execve(program, argv, environ);
  ReportAndExit(status_fd);
}

bool MakeStatusPipe(int fds[2]) {
#if defined(__linux__)
  return pipe2(fds, O_CLOEXEC) == 0;
#else
  if (pipe(fds) != 0) return false;
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

// The child reports a failure through a pipe that its exec closes.
int Spawn(const char* program, char* const argv[], pid_t& pid) {
  long open_max = sysconf(_SC_OPEN_MAX);
  int max_fd =
      int(open_max < 0 || open_max > kMaxDescriptorsToClose ? kMaxDescriptorsToClose : open_max);
  int status_pipe[2];
  if (!MakeStatusPipe(status_pipe)) return errno;

  // No handler of ours may run in the child before its defaults are set.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  pid = fork();
  if (pid == 0) {
    close(status_pipe[0]);
    ExecDetached(program, argv, status_pipe[1], max_fd);
  }
  int fork_error = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  close(status_pipe[1]);
  if (pid < 0) {
    close(status_pipe[0]);
    return fork_error;
  }
  int error = 0;
  ssize_t n;
  while ((n = read(status_pipe[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(status_pipe[0]);
  if (n == 0) return 0;  // closed by the exec
  return n == sizeof error && error != 0 ? error : ECHILD;
}

#endif

// Starts program detached with args: 0 once it has been exec'd, otherwise
// the errno of what failed.
int Spawn(const std::string& program, std::initializer_list<const char*> args, pid_t& pid) {
  std::vector<char*> argv;
  for (const char* arg : args) argv.push_back(const_cast<char*>(arg));
  argv.push_back(nullptr);
  pid = -1;
  return Spawn(program.c_str(), argv.data(), pid);
}

long NanosecondsSince(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1'000'000'000L + (now.tv_nsec - start.tv_nsec);
}

// False when the opener ended in failure within the wait; still running
// then, it counts as a success. Every other child that ends meanwhile is
// reaped here, so that none lingers as a zombie.
bool OpenerSucceeded(pid_t opener) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  long nap = kFirstNapNs;
  for (;;) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid == opener) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (pid > 0 || (pid < 0 && errno == EINTR)) continue;
    // No child left: someone else took its status, so no failure was seen.
    if (pid < 0) return true;
    long left = kOpenerWaitNs - NanosecondsSince(start);
    if (left <= 0) return true;
    timespec pause{0, nap < left ? nap : left};
    nanosleep(&pause, nullptr);
    if (nap < kLongestNapNs) nap *= 2;
  }
}

void ReapEnded() {
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0 || (pid < 0 && errno == EINTR)) {
  }
}

}  // namespace

bool LooksLikeUrl(std::string_view entry) {
  std::size_t colon = entry.find(':');
  if (colon == std::string_view::npos || colon < 2 || colon + 1 == entry.size()) return false;
  if (!IsAsciiLetter(entry[0])) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    char c = entry[i];
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  // Control characters have no place in a URL; refusing them keeps them out
  // of the opener's scripts.
  for (char c : entry) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

bool IsApplicationEntry(std::string_view text) {
  constexpr std::string_view kGroup = "Desktop Entry";
  bool in_group = false, seen_group = false;
  std::string_view type;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = TrimLeft(line);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      std::size_t close = line.find(']');
      if (close == std::string_view::npos || !TrimLeft(line.substr(close + 1)).empty()) {
        return false;
      }
      std::string_view name = line.substr(1, close - 1);
      // Its first group is what makes a file a desktop entry; a later group
      // of the same name adds to it.
      if (!seen_group && name != kGroup) return false;
      seen_group = true;
      in_group = name == kGroup;
      continue;
    }
    std::size_t equals = line.find('=');
    if (!seen_group || equals == std::string_view::npos) return false;
    std::string_view key = TrimRight(line.substr(0, equals));
    if (key.empty()) return false;
    // The last one counts; blanks after the value are part of it.
    if (in_group && key == "Type") type = TrimLeft(line.substr(equals + 1));
  }
  return type == "Application";
}

PosixShell::PosixShell() : opener_(kDesktopOpener) {}

PosixShell::PosixShell(std::string opener, std::string search_path)
    : opener_(std::move(opener)), search_path_(std::move(search_path)) {}

PosixShell::~PosixShell() {
  if (reaping_ != Reaping::kUntouched) sigaction(SIGCHLD, &saved_sigchld_, nullptr);
}

// The system reaps our children as they end (SIGCHLD ignored), so that none
// is left a zombie while we run, except while an opener's status is awaited.
// Not SA_NOCLDWAIT: emulators such as qemu-user drop that flag, and ignoring
// the signal does the same everywhere.
void PosixShell::SetReaping(Reaping reaping) {
  if (reaping == reaping_) return;
  struct sigaction action = {};
  action.sa_handler = reaping == Reaping::kBySystem ? SIG_IGN : SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGCHLD, &action, reaping_ == Reaping::kUntouched ? &saved_sigchld_ : nullptr);
  reaping_ = reaping;
}

bool PosixShell::RunOpener(const std::string& program, std::initializer_list<const char*> args) {
  SetReaping(Reaping::kByUs);
  pid_t pid;
  bool succeeded = Spawn(program, args, pid) == 0 && OpenerSucceeded(pid);
  // The system only reaps what ends after the switch: whatever ended while
  // we reaped by hand is collected before it and just after it.
  ReapEnded();
  SetReaping(Reaping::kBySystem);
  ReapEnded();
  return succeeded;
}

// GLib's launcher has the same second as the opener to report an entry it
// cannot start (a TryExec or Exec program missing, no Exec at all).
bool PosixShell::LaunchMenuEntry(const std::string& file, std::string_view search_path) {
  std::string launcher = FindOnPath(kMenuEntryLauncher, search_path);
  return !launcher.empty() &&
         RunOpener(launcher, {kMenuEntryLauncher, "launch", FromRoot(file).c_str()});
}

bool PosixShell::Open(const std::string& entry) {
  if (entry.empty() || entry.find('\0') != std::string::npos) return false;
  SetReaping(Reaping::kBySystem);
  std::string_view search_path = kDefaultSearchPath;
  if (search_path_) {
    search_path = *search_path_;
  } else if (const char* path = std::getenv("PATH")) {
    search_path = path;
  }

  std::string target;
  pid_t pid;
  struct stat st;
  if (stat(entry.c_str(), &st) == 0) {
    // Before the execute bit: desktops mark the menu entries they trust so.
    if (IsApplicationFile(entry)) return LaunchMenuEntry(entry, search_path);
    target = Anchored(entry);
    if (S_ISREG(st.st_mode) && access(entry.c_str(), X_OK) == 0) {
      // A program called "-x" would take its own name for an option.
      int error = Spawn(target, {entry[0] == '-' ? target.c_str() : entry.c_str()}, pid);
      // Not a program after all (a document on a disk that marks every file
      // executable): the opener knows what to do with it.
      if (error != ENOEXEC) return error == 0;
    }
  } else if (LooksLikeUrl(entry)) {
    target = entry;
  } else if (entry.find('/') == std::string::npos && entry[0] != '-') {
    if (kMenuEntries && entry.ends_with(kMenuEntrySuffix)) target = FindMenuEntry(entry);
    if (target.empty()) {
      std::string program = FindOnPath(entry, search_path);
      return !program.empty() && Spawn(program, {entry.c_str()}, pid) == 0;
    }
    if (IsApplicationFile(target)) return LaunchMenuEntry(target, search_path);
  } else {
    return false;
  }

  std::string opener = opener_;
  if (opener.find('/') == std::string::npos) opener = FindOnPath(opener_, search_path);
  return !opener.empty() && RunOpener(opener, {opener_.c_str(), target.c_str()});
}

}  // namespace torvinale
