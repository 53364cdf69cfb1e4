// The shell's "open" on POSIX: the entry is one file name or URL, never split
// and never given to a command interpreter.
#pragma once

#include <string>

#include "platform/services.h"

namespace torvinale {

class PosixShell final : public Shell {
 public:
  // Runs an executable file (or a bare name found on PATH) directly; anything
  // else goes to the desktop's opener. The child is detached and never waited for.
  bool Open(const std::string& entry) override;
};

}  // namespace torvinale
