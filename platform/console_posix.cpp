// Standard output and error, and the terminal's cursor.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <iterator>

#include "platform/system.h"

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

OutputSink& StandardOutput() {
  static StdoutSink sink;
  return sink;
}

Console& RealConsole(TextStream& out) {
  static TerminalConsole console(out);
  return console;
}

void WriteStandardError(const char* data, std::size_t size) { WriteAll(STDERR_FILENO, data, size); }

}  // namespace torvinale
