// The shell's "open" on POSIX: the entry is one file name or URL, never split
// and never given to a command interpreter.
#pragma once

#include <signal.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "platform/services.h"

namespace torvinale {

class PosixShell final : public Shell {
 public:
  // The desktop's opener, found on the process's PATH at every Open.
  PosixShell();
  // Another opener (a path, or a name looked up on search_path) and another
  // PATH to look programs up on.
  PosixShell(std::string opener, std::string search_path);
  // Gives SIGCHLD back the disposition it had before the first Open.
  ~PosixShell() override;
  PosixShell(const PosixShell&) = delete;
  PosixShell& operator=(const PosixShell&) = delete;

  // Runs an executable file (or a bare name found on PATH) directly: true
  // once it has been exec'd. An application's menu entry, named by its path
  // or by its desktop file ID, goes to GLib's "gio launch", and any other
  // existing file or directory or a URL to the desktop's opener: true unless
  // that fails within a second. What is started runs in a session of its own
  // and is never waited for beyond that; when it ends, the system reaps it.
  bool Open(const std::string& entry) override;

 private:
  enum class Reaping { kUntouched, kBySystem, kByUs };
  void SetReaping(Reaping reaping);
  bool RunOpener(const std::string& program, std::initializer_list<const char*> args);
  bool LaunchMenuEntry(const std::string& file, std::string_view search_path);

  std::string opener_;
  std::optional<std::string> search_path_;
  Reaping reaping_ = Reaping::kUntouched;
  struct sigaction saved_sigchld_ = {};
};

// "scheme:rest" whose scheme starts with a letter and has two or more
// characters, so that a drive letter ("c:\x") is not taken for one.
bool LooksLikeUrl(std::string_view entry);

// A desktop entry whose [Desktop Entry] group, the file's first, has the
// Type "Application", every line read as GLib's key-file reader reads it:
// a file it would refuse (a line that is no group, key or comment) is none.
bool IsApplicationEntry(std::string_view text);

}  // namespace torvinale
