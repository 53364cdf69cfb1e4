#include "platform/shell_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <utility>

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
// Where descriptors are closed one by one, a limit beyond reason is cut here.
constexpr long kMaxDescriptorsToClose = 1 << 16;

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
  // Session leader only in the intermediate child: the program itself can
  // never take a terminal it opens as its controlling one.
  if (setsid() < 0) ReportAndExit(status_fd);
  pid_t pid = fork();
  if (pid < 0) ReportAndExit(status_fd);
  // The program is reparented to init at once and leaves no zombie of ours.
  if (pid > 0) _exit(0);

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

// Starts program detached with argv and returns 0 as soon as it has been
// exec'd, otherwise the errno of what failed.
int Spawn(const std::string& program, std::initializer_list<const std::string*> args) {
  char* argv[3] = {};
  std::size_t argc = 0;
  for (const std::string* arg : args) argv[argc++] = const_cast<char*>(arg->c_str());

  long open_max = sysconf(_SC_OPEN_MAX);
  int max_fd =
      int(open_max < 0 || open_max > kMaxDescriptorsToClose ? kMaxDescriptorsToClose : open_max);
  int status_pipe[2];
  if (!MakeStatusPipe(status_pipe)) return errno;

  // No handler of ours may run in the children before their defaults are set.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  pid_t child = fork();
  if (child == 0) {
    close(status_pipe[0]);
    ExecDetached(program.c_str(), argv, status_pipe[1], max_fd);
  }
  int fork_error = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  close(status_pipe[1]);
  if (child < 0) {
    close(status_pipe[0]);
    return fork_error;
  }

  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t n;
  while ((n = read(status_pipe[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(status_pipe[0]);
  if (n == sizeof error) return error != 0 ? error : ECHILD;
  // End of file without a report: exec succeeded, unless the intermediate
  // child died before it could fork.
  if (n != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return ECHILD;
  return 0;
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

bool PosixShell::Open(const std::string& entry) {
  if (entry.empty() || entry.find('\0') != std::string::npos) return false;
  std::string_view search_path = kDefaultSearchPath;
  if (search_path_) {
    search_path = *search_path_;
  } else if (const char* path = std::getenv("PATH")) {
    search_path = path;
  }

  std::string target;
  struct stat st;
  if (stat(entry.c_str(), &st) == 0) {
    target = Anchored(entry);
    if (S_ISREG(st.st_mode) && access(entry.c_str(), X_OK) == 0) {
      // A program called "-x" would take its own name for an option.
      const std::string& arg0 = entry[0] == '-' ? target : entry;
      int error = Spawn(target, {&arg0});
      // Not a program after all (a document on a disk that marks every file
      // executable): the opener knows what to do with it.
      if (error != ENOEXEC) return error == 0;
    }
  } else if (LooksLikeUrl(entry)) {
    target = entry;
  } else if (entry.find('/') == std::string::npos && entry[0] != '-') {
    std::string program = FindOnPath(entry, search_path);
    return !program.empty() && Spawn(program, {&entry}) == 0;
  } else {
    return false;
  }

  std::string opener = opener_;
  if (opener.find('/') == std::string::npos) opener = FindOnPath(opener_, search_path);
  return !opener.empty() && Spawn(opener, {&opener_, &target}) == 0;
}

}  // namespace torvinale
