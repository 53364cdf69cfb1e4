// The working folder, the clock, and the one instance of every service.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/profile_posix.h"
#include "platform/shell_posix.h"
#include "platform/system.h"

namespace torvinale {
namespace {

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

void ExitProcessWith(int code) { _exit(code); }

}  // namespace torvinale
