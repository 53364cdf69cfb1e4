// The shell's "open" on Windows: the entry goes to the shell as it is, by its
// Unicode name where it is UTF-8.
#pragma once

#include <string>

#include "platform/services.h"

namespace torvinale {

class Win32Shell final : public Shell {
 public:
  bool Open(const std::string& entry) override;

 private:
  static bool AsUtf8Name(const std::string& entry, std::wstring& wide);

  bool com_initialised_ = false;
};

}  // namespace torvinale
