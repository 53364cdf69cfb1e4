// The shell's "open" on POSIX: the entry is one file name or URL, never split
// and never given to a command interpreter.
#pragma once

#include <signal.h>

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
  // once it has been exec'd. An existing file or directory or a URL goes to
  // the desktop's opener: true unless the opener fails within a second. What
  // is started runs in a session of its own and is never waited for beyond
  // that; when it ends, the system reaps it.
  bool Open(const std::string& entry) override;

 private:
  enum class Reaping { kUntouched, kBySystem, kByUs };
  void SetReaping(Reaping reaping);
  bool RunOpener(const std::string& opener, const std::string& target);

  std::string opener_;
  std::optional<std::string> search_path_;
  Reaping reaping_ = Reaping::kUntouched;
  struct sigaction saved_sigchld_ = {};
};

// "scheme:rest" whose scheme starts with a letter and has two or more
// characters, so that a drive letter ("c:\x") is not taken for one.
bool LooksLikeUrl(std::string_view entry);

}  // namespace torvinale
