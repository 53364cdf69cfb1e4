#include "platform/new_file_win32.h"

#include <cwchar>
#include <utility>

namespace torvinale {
namespace {

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  return folder.ends_with(L'\\') ? folder + name : folder + L'\\' + name;
}

}  // namespace

std::wstring FromAnsi(std::string_view text) {
  const int size = static_cast<int>(text.size());
  std::wstring wide(
      static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0)),
      L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
  return wide;
}

std::string FromWide(std::wstring_view wide, UINT code_page) {
  const int size = static_cast<int>(wide.size());
  std::string text(static_cast<std::size_t>(WideCharToMultiByte(code_page, 0, wide.data(), size,
                                                                nullptr, 0, nullptr, nullptr)),
                   '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), size, text.data(), static_cast<int>(text.size()),
                      nullptr, nullptr);
  return text;
}

bool FromUtf8(std::string_view text, std::wstring& wide) {
  wide.clear();
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n <= 0) return false;
  wide.resize(static_cast<std::size_t>(n));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n) == n;
}

std::wstring Reachable(std::wstring path) {
  if (path.size() < MAX_PATH || path.starts_with(LR"(\\?\)")) return path;
  if (path.starts_with(LR"(\\)")) return LR"(\\?\UNC\)" + path.substr(2);
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return LR"(\\?\)" + path;
  return path;
}

void WorkingFolder::Take() {
  std::wstring wide(MAX_PATH + 1, L'\0');
  DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(wide.size()), wide.data());
  // A longer folder is reported by the size it needs; ask again with it.
  while (n >= wide.size()) {
    wide.resize(n);
    n = GetCurrentDirectoryW(static_cast<DWORD>(wide.size()), wide.data());
  }
  // On failure "." keeps the config file where the presence test looks.
  wide_ = n == 0 ? std::wstring(L".") : wide.substr(0, n);
  text_ = FromWide(wide_, CP_ACP);
  taken_ = true;
}

std::wstring WorkingFolder::Reach(std::string_view path) const {
  std::string_view name = path;
  if (taken_ && path.starts_with(text_) && path.size() > text_.size() &&
      path[text_.size()] == '\\') {
    name.remove_prefix(text_.size() + 1);
  }
  if (!taken_ || name.find_first_of("\\/") != std::string_view::npos || name.empty()) {
    return Reachable(FromAnsi(path));
  }
  return Reachable(Join(wide_, FromAnsi(name)));
}

// Where the target's path fits MAX_PATH and the usual name would not, a name
// no longer than the target's own keeps it within the limit.
bool MakeNewFile(const std::wstring& target, std::wstring& file) {
  const std::size_t slash = target.find_last_of(L'\\');
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    wchar_t suffix[32];
    std::swprintf(suffix, 32, L".%lx.%u.tmp", GetCurrentProcessId(), attempt);
    std::wstring name = target + suffix;
    if (target.size() < MAX_PATH && name.size() >= MAX_PATH && slash != std::wstring::npos &&
        target.size() - slash - 1 >= 10) {
      std::swprintf(suffix, 32, L"~cfg%02u.tmp", attempt);
      name = target.substr(0, slash + 1) + suffix;
    }
    name = Reachable(std::move(name));
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
      file = std::move(name);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

bool PublishNewFile(const std::wstring& target, const std::wstring& file) {
  if (file.empty()) return true;  // nothing was written
  if (MoveFileExW(file.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  DWORD error = GetLastError();
  DeleteFileW(file.c_str());
  if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
  DWORD attributes = GetFileAttributesW(target.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace torvinale
