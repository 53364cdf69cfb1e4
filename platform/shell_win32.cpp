#include "platform/shell_win32.h"

#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <shellapi.h>

#include "platform/new_file_win32.h"

namespace torvinale {
namespace {

bool Exists(const std::wstring& name) {
  return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Opened(HINSTANCE result) { return reinterpret_cast<INT_PTR>(result) > 32; }

}  // namespace

bool Win32Shell::Open(const std::string& entry) {
  InitialiseCom();
  return Opened(ShellExecuteA(nullptr, "open", entry.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
}

bool Win32Shell::OpenEither(const std::string& entry, const UnicodeName& name) {
  const std::wstring wide = ChooseUnicodeName(entry, name);
  if (wide.empty()) return Open(entry);
  InitialiseCom();
  return Opened(ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
}

// Documents and URLs can be opened through shell extensions, which are COM
// objects: the shell expects COM on the calling thread. Never undone: the
// process ends without it.
void Win32Shell::InitialiseCom() {
  if (com_initialised_) return;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  com_initialised_ = true;
}

// The ANSI text comes first, as it is what the shell is asked for by every
// other program: a file saved as ANSI in a double-byte code page is often
// valid UTF-8 too, and its look-alike may be another program.
std::wstring ChooseUnicodeName(const std::string& entry, const UnicodeName& name) {
  std::wstring wide;
  if (!FromUtf8(name.utf8, wide) || wide.empty()) return {};
  if (name.use == UnicodeName::Use::kInstead) return wide;
  // A drive without its disk must not put up a dialog of ours.
  DWORD mode = 0;
  const bool quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &mode);
  const bool unicode =
      !Exists(FromAnsi(entry)) && (name.use == UnicodeName::Use::kUnlessTextExists || Exists(wide));
  if (quiet) SetThreadErrorMode(mode, nullptr);
  return unicode ? wide : std::wstring();
}

}  // namespace torvinale
