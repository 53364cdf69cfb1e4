// The working folder, the clock, and the one instance of every service.
#include <windows.h>

#include <string>

#include "platform/profile_win32.h"
#include "platform/shell_win32.h"
#include "platform/system.h"

namespace torvinale {
namespace {

WorkingFolder& Folder() {
  static WorkingFolder folder;
  return folder;
}

class Win32FileSystem final : public FileSystem {
 public:
  std::string QueryWorkingDirectory() override {
    Folder().Take();
    return Folder().text();
  }

  // Present whatever the last-write time: a file dated outside the DOS range
  // must not be overwritten with defaults.
  bool FileIsPresent(const std::string& name) override {
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(Folder().Reach(name).c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    FindClose(search);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
};

class Win32Clock final : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

FileSystem& RealFileSystem() {
  static Win32FileSystem files;
  return files;
}

Profile& RealProfile() {
  static Win32Profile profile(Folder());
  return profile;
}

Shell& RealShell() {
  static Win32Shell shell;
  return shell;
}

Clock& RealClock() {
  static Win32Clock clock;
  return clock;
}

void ExitProcessWith(int code) { ExitProcess(static_cast<UINT>(code)); }

}  // namespace torvinale
