// The shell's "open" on Windows: an entry goes to the shell as its ANSI text,
// or by its second, Unicode name where the file gives one and that is the
// name of the two that exists.
#pragma once

#include <string>

#include "platform/services.h"

namespace torvinale {

class Win32Shell final : public Shell {
 public:
  bool Open(const std::string& entry) override;
  bool OpenEither(const std::string& entry, const UnicodeName& name) override;

 private:
  void InitialiseCom();

  bool com_initialised_ = false;
};

// The wide name the shell is given for an entry with a second name, or empty
// where it is given the entry's ANSI text. Decided by the file system, once:
// a relative name is taken from the working folder, as the shell takes it.
std::wstring ChooseUnicodeName(const std::string& entry, const UnicodeName& name);

}  // namespace torvinale
