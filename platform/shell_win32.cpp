#include "platform/shell_win32.h"

#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>

namespace torvinale {

bool Win32Shell::Open(const std::string& entry) {
  // Documents and URLs can be opened through shell extensions, which are
  // COM objects: the shell expects COM on the calling thread. Never undone:
  // the process ends without it.
  if (!com_initialised_) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    com_initialised_ = true;
  }
  std::wstring wide;
  HINSTANCE result =
      AsUtf8Name(entry, wide)
          ? ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL)
          : ShellExecuteA(nullptr, "open", entry.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

// Editors save UTF-8 unless told otherwise; read as ANSI, a name with a
// non-ASCII character names no file. ANSI text with such a character is
// almost never valid UTF-8, so it still goes to the ANSI function.
bool Win32Shell::AsUtf8Name(const std::string& entry, std::wstring& wide) {
  auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
  if (std::all_of(entry.begin(), entry.end(), ascii)) return false;
  const int size = static_cast<int>(entry.size());
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, entry.data(), size, nullptr, 0);
  if (n <= 0) return false;
  wide.resize(static_cast<std::size_t>(n));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, entry.data(), size, wide.data(), n) ==
         n;
}

}  // namespace torvinale
