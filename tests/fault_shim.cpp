// Preloaded into a run of the launcher (LD_PRELOAD) to set up, at an exact
// moment, what strace cannot: a config.ini that appears just after the
// presence test found none, and a memory request that fails in the middle of
// a write series, a kernel without unnamed files. Driven by the environment:
//   TORVINALE_SHIM_APPEAR=FILE   after the first lookup of "config.ini" that
//                                finds nothing, FILE's bytes appear there
//   TORVINALE_SHIM_NO_UNNAMED=1  opening an unnamed file (O_TMPFILE) fails
//                                with EISDIR, as on kernels before 3.11
//   TORVINALE_SHIM_NO_MEMORY_AFTER_PWRITE=N
//                                the first memory request after the Nth
//                                pwrite fails
// Only system calls are used inside: the C library's own functions may be
// the ones replaced here.
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

extern "C" void* __libc_malloc(size_t size);

namespace {

const char* appear_from = nullptr;
long pwrites_before_no_memory = -1;  // -1: never
bool no_memory_now = false;
bool no_unnamed = false;

__attribute__((constructor)) void ReadSettings() {
  appear_from = getenv("TORVINALE_SHIM_APPEAR");
  if (const char* n = getenv("TORVINALE_SHIM_NO_MEMORY_AFTER_PWRITE")) {
    pwrites_before_no_memory = strtol(n, nullptr, 10);
  }
  no_unnamed = getenv("TORVINALE_SHIM_NO_UNNAMED") != nullptr;
}

void Appear(int dir) {
  const char* from = appear_from;
  appear_from = nullptr;
  int in = static_cast<int>(syscall(SYS_openat, AT_FDCWD, from, O_RDONLY));
  int out = static_cast<int>(
      syscall(SYS_openat, dir, "config.ini", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  char buffer[4096];
  long n;
  while (in >= 0 && out >= 0 && (n = syscall(SYS_read, in, buffer, sizeof buffer)) > 0) {
    syscall(SYS_write, out, buffer, n);
  }
  if (in >= 0) syscall(SYS_close, in);
  if (out >= 0) syscall(SYS_close, out);
}

int StatAt(int dir, const char* path, struct stat* st, int flags) {
  long result = syscall(SYS_newfstatat, dir, path, st, flags);
  if (result != 0 && appear_from != nullptr && errno == ENOENT && strcmp(path, "config.ini") == 0) {
    int error = errno;
    Appear(dir);
    errno = error;
  }
  return static_cast<int>(result);
}

ssize_t PwriteAndCount(int fd, const void* data, size_t size, off_t offset) {
  if (pwrites_before_no_memory > 0 && --pwrites_before_no_memory == 0) no_memory_now = true;
  return syscall(SYS_pwrite64, fd, data, size, offset);
}

int OpenAt(int dir, const char* path, int flags, mode_t mode) {
  if (no_unnamed && (flags & O_TMPFILE) == O_TMPFILE) {
    errno = EISDIR;
    return -1;
  }
  return static_cast<int>(syscall(SYS_openat, dir, path, flags, mode));
}

mode_t ModeOf(int flags, va_list args) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

}  // namespace

extern "C" {

int stat(const char* path, struct stat* st) noexcept { return StatAt(AT_FDCWD, path, st, 0); }
int stat64(const char* path, struct stat64* st) noexcept {
  return StatAt(AT_FDCWD, path, reinterpret_cast<struct stat*>(st), 0);
}
int fstatat(int dir, const char* path, struct stat* st, int flags) noexcept {
  return StatAt(dir, path, st, flags);
}
int fstatat64(int dir, const char* path, struct stat64* st, int flags) noexcept {
  return StatAt(dir, path, reinterpret_cast<struct stat*>(st), flags);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  return PwriteAndCount(fd, data, size, offset);
}
ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
  return PwriteAndCount(fd, data, size, offset);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  return OpenAt(dir, path, flags, mode);
}
int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeOf(flags, args);
  va_end(args);
  return OpenAt(dir, path, flags, mode);
}

void* malloc(size_t size) noexcept {
  if (no_memory_now) {
    no_memory_now = false;
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

}  // extern "C"
