// The launcher's main line: settings, countdown screen, launches, closing.
#pragma once

#include <string>

#include "launcher/settings.h"
#include "platform/services.h"
#include "runtime/output.h"

namespace torvinale {

struct Services {
  FileSystem& files;
  Profile& profile;
  Shell& shell;
  Clock& clock;
  Console& console;
  TextOutput& out;
};

// Screen and confirmation texts, shared with the tests.
const std::string& Banner();
std::string EntryLabel(int number);
std::string ConfirmationLine(int number, bool launched);
std::string CountRow(std::int64_t counter);

// Everything from taking the working directory to the wait after the closing
// line; ending the process is left to the caller.
void RunLauncher(Services& services);

}  // namespace torvinale
