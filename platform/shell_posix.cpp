// Placeholder until the real layer lands.
#include "platform/shell_posix.h"

namespace torvinale {

bool PosixShell::Open(const std::string&) { return false; }

}  // namespace torvinale
