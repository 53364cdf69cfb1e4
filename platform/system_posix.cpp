#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <vector>

#include "platform/profile_posix.h"
#include "platform/shell_posix.h"
#include "platform/system.h"
#include "runtime/errors.h"

namespace torvinale {
namespace {

bool stdout_closed_at_start = false;

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// Writes all of data, resuming after interruptions. A descriptor left
// non-blocking by whoever started us is waited for rather than failed: a
// reader that is slow is not an error. Returns 0 or the errno of the failure.
int WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd ready{fd, POLLOUT, 0};
        while (poll(&ready, 1, -1) < 0 && errno == EINTR) {
        }
        continue;
      }
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

class PosixFileSystem final : public FileSystem {
 public:
  explicit PosixFileSystem(WorkingFolder& working) : working_(working) {}

  std::string QueryWorkingDirectory() override { return working_.Take(); }

  // In the held folder, the one where the profile functions write.
  bool FileIsPresent(const std::string& name) override {
    struct stat st;
    if (fstatat(working_.descriptor(), name.c_str(), &st, 0) != 0) {
      return errno != ENOENT && errno != ENOTDIR;
    }
    return !S_ISDIR(st.st_mode);
  }

 private:
  WorkingFolder& working_;
};

class PosixClock final : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
  }
};

class StdoutSink final : public OutputSink {
 public:
  Kind Open() override {
    struct stat st;
    if (stdout_closed_at_start || fstat(STDOUT_FILENO, &st) != 0) return Kind::kUnavailable;
    return S_ISCHR(st.st_mode) ? Kind::kCharDevice : Kind::kOther;
  }

  int Write(const char* data, std::size_t size) override {
    return WriteAll(STDOUT_FILENO, data, size);
  }
};

// On a terminal the cursor moves are escape sequences in the text itself;
// anywhere else there is no cursor and the text simply follows on.
class TerminalConsole final : public Console {
 public:
  explicit TerminalConsole(TextStream& out) : out_(out), is_terminal_(isatty(STDOUT_FILENO)) {}

  void MoveCursor(std::int16_t row, std::int16_t column) override {
    if (!is_terminal_ || row < 0 || column < 0) return;
    // Not snprintf: its machinery would be most of the C library this run
    // touches, and so of its memory.
    char sequence[16] = "\x1b[";
    char* end = std::to_chars(sequence + 2, std::end(sequence), row + 1).ptr;
    *end++ = ';';
    end = std::to_chars(end, std::end(sequence), column + 1).ptr;
    *end++ = 'H';
    out_.Write(std::string_view(sequence, static_cast<std::size_t>(end - sequence)));
  }

  void PumpMessages() override {}

 private:
  TextStream& out_;
  bool is_terminal_;
};

}  // namespace

void PrepareProcess() {
  // A write into a closed pipe, or beyond the file size limit, must become an
  // I/O error, not a silent death. Programs we start get the defaults back.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // Keep descriptors 0 to 2 taken, so that no file we open lands on them and
  // receives the screen; a closed standard output still counts as closed.
  for (int fd = 0; fd <= 2; ++fd) {
    if (IsOpen(fd)) continue;
    if (fd == STDOUT_FILENO) stdout_closed_at_start = true;
    int placeholder = open("/dev/null", O_RDONLY);
    if (placeholder >= 0 && placeholder != fd) {
      dup2(placeholder, fd);
      close(placeholder);
    }
  }
}

namespace {

WorkingFolder& Working() {
  static WorkingFolder folder;
  return folder;
}

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem files(Working());
  return files;
}

Profile& RealProfile() {
  static PosixProfile profile(&Working());
  return profile;
}

Shell& RealShell() {
  static PosixShell shell;
  return shell;
}

Clock& RealClock() {
  static PosixClock clock;
  return clock;
}

OutputSink& StandardOutput() {
  static StdoutSink sink;
  return sink;
}

Console& RealConsole(TextStream& out) {
  static TerminalConsole console(out);
  return console;
}

void WriteStandardError(const char* data, std::size_t size) { WriteAll(STDERR_FILENO, data, size); }

std::string ProgramFile() {
  std::vector<char> buffer(4096);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n > 0) return std::string(buffer.data(), static_cast<std::size_t>(n));
  return "torvinale";
}

namespace {

#if defined(__linux__)
// A static program has no loader to ask: the images it has loaded tell.
bool FindLoadedImage(const void* address, const char*& name, const void*& base) {
  struct Search {
    std::uintptr_t address;
    const char* name = nullptr;
    std::uintptr_t base = 0;
    bool found = false;
  } search{reinterpret_cast<std::uintptr_t>(address)};
  dl_iterate_phdr(
      [](dl_phdr_info* image, std::size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        for (int i = 0; i < image->dlpi_phnum; ++i) {
          const auto& segment = image->dlpi_phdr[i];
          std::uintptr_t start = image->dlpi_addr + segment.p_vaddr;
          if (segment.p_type == PT_LOAD && s->address >= start &&
              s->address - start < segment.p_memsz) {
            *s = {s->address, image->dlpi_name, image->dlpi_addr, true};
            return 1;
          }
        }
        return 0;
      },
      &search);
  name = search.name;
  base = reinterpret_cast<const void*>(search.base);
  return search.found && search.base != 0;
}
#else
bool FindLoadedImage(const void*, const char*&, const void*&) { return false; }
#endif

}  // namespace

bool FindModule(const void* address, std::string& path, const void*& base) {
  if (address == nullptr) return false;
  const char* name = nullptr;
  Dl_info info;
  if (dladdr(address, &info) != 0 && info.dli_fbase != nullptr) {
    name = info.dli_fname;
    base = info.dli_fbase;
  } else if (!FindLoadedImage(address, name, base)) {
    return false;
  }
  path = (name != nullptr && name[0] != '\0') ? name : ProgramFile();
  return true;
}

void ConvertToConsoleCodePage(std::string&) {}

void ExitProcessWith(int code) { _exit(code); }

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS};

const void* FaultingInstruction(void* context) {
  [[maybe_unused]] auto* uc = static_cast<ucontext_t*>(context);
#if defined(__linux__) && defined(__x86_64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__linux__) && defined(__aarch64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext.pc);
#elif defined(__APPLE__) && defined(__x86_64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext->__ss.__rip);
#elif defined(__APPLE__) && defined(__aarch64__)
  return reinterpret_cast<const void*>(uc->uc_mcontext->__ss.__pc);
#else
  return nullptr;
#endif
}

FaultReporter report_fault = nullptr;
volatile sig_atomic_t handling_fault = 0;

// Built with -fnon-call-exceptions, so the error unwinds from the faulting
// instruction through the signal frame like any other, running the clean-ups.
// A second fault, met while the first unwinds, is reported at once.
void OnFault(int, siginfo_t* info, void* context) {
  const void* address = FaultingInstruction(context);
  char message[64];
  std::snprintf(message, sizeof message, "Access violation at address %016llX",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(info->si_addr)));
  if (handling_fault) report_fault(message, address);
  handling_fault = 1;
  SetRaiseAddress(address);
  throw EAccessViolation(message);
}

}  // namespace

void InstallFaultHandlers(FaultReporter report) {
  report_fault = report;
  // Its own stack, so that a stack overflow is reported too. Static and never
  // filled in advance: its pages take no memory until a fault uses them.
  static char fault_stack[64 * 1024];
  stack_t stack{};
  stack.ss_sp = fault_stack;
  stack.ss_size = sizeof fault_stack;
  sigaltstack(&stack, nullptr);

  struct sigaction action {};
  action.sa_sigaction = OnFault;
  // Left by a throw, the handler never returns: keep the signal unblocked.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int sig : kFaultSignals) sigaction(sig, &action, nullptr);
}

bool LeaveErrorToDebugger() { return false; }

void RemoveFaultHandlers() {
  for (int sig : kFaultSignals) signal(sig, SIG_DFL);
}

}  // namespace torvinale
