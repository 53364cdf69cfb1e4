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
#include <utility>

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

// A relative path handed on as "./path": a script's interpreter would read
// "-x" as an option and search PATH for a bare name, and the opener would take
// "http:x" for a URL.
std::string Anchored(const std::string& path) { return path[0] == '/' ? path : "./" + path; }

// Only absolute elements: an empty one, ".", or "bin" would run whatever the
// working directory holds under that name. A name is only run from there when
// the entry names an existing file.
std::string FindOnPath(const std::string& name, std::string_view search_path) {
  std::size_t start = 0;
  while (start <= search_path.size()) {
    std::size_t end = search_path.find(':', start);
    if (end == std::string_view::npos) end = search_path.size();
    if (end > start && search_path[start] == '/') {
      std::string candidate(search_path.substr(start, end - start));
      candidate += '/';
      candidate += name;
      if (IsExecutableFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  return std::string();
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

// Starts program detached with argv: 0 once it has been exec'd, otherwise
// the errno of what failed.
int Spawn(const std::string& program, const std::string& arg0, const std::string* arg1,
          pid_t& pid) {
  char* argv[] = {const_cast<char*>(arg0.c_str()),
                  arg1 ? const_cast<char*>(arg1->c_str()) : nullptr, nullptr};
  pid = -1;
  return Spawn(program.c_str(), argv, pid);
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

bool PosixShell::RunOpener(const std::string& opener, const std::string& target) {
  SetReaping(Reaping::kByUs);
  pid_t pid;
  bool succeeded = Spawn(opener, opener_, &target, pid) == 0 && OpenerSucceeded(pid);
  // The system only reaps what ends after the switch: whatever ended while
  // we reaped by hand is collected before it and just after it.
  ReapEnded();
  SetReaping(Reaping::kBySystem);
  ReapEnded();
  return succeeded;
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
    target = Anchored(entry);
    if (S_ISREG(st.st_mode) && access(entry.c_str(), X_OK) == 0) {
      // A program called "-x" would take its own name for an option.
      int error = Spawn(target, entry[0] == '-' ? target : entry, nullptr, pid);
      // Not a program after all (a document on a disk that marks every file
      // executable): the opener knows what to do with it.
      if (error != ENOEXEC) return error == 0;
    }
  } else if (LooksLikeUrl(entry)) {
    target = entry;
  } else if (entry.find('/') == std::string::npos && entry[0] != '-') {
    std::string program = FindOnPath(entry, search_path);
    return !program.empty() && Spawn(program, entry, nullptr, pid) == 0;
  } else {
    return false;
  }

  std::string opener = opener_;
  if (opener.find('/') == std::string::npos) opener = FindOnPath(opener_, search_path);
  return !opener.empty() && RunOpener(opener, target);
}

}  // namespace torvinale
