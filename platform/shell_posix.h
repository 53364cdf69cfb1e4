// The shell's "open" on POSIX: the entry is one file name or URL, never split
// and never given to a command interpreter.
#pragma once

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

  // Runs an executable file (or a bare name found on PATH) directly; an
  // existing file or directory or a URL goes to the desktop's opener. The
  // child is detached and never waited for. False when nothing was started.
  bool Open(const std::string& entry) override;

 private:
  std::string opener_;
  std::optional<std::string> search_path_;
};

// "scheme:rest" whose scheme starts with a letter and has two or more
// characters, so that a drive letter ("c:\x") is not taken for one.
bool LooksLikeUrl(std::string_view entry);

}  // namespace torvinale
