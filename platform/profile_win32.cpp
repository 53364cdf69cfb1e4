#include "platform/profile_win32.h"

#include <windows.h>

#include <algorithm>

namespace torvinale {
namespace {

// A null text stays null: it carries the profile functions' meaning.
class WideText {
 public:
  explicit WideText(const char* text) : null_(text == nullptr) {
    if (!null_) wide_ = FromAnsi(text);
  }
  const wchar_t* get() const { return null_ ? nullptr : wide_.c_str(); }

 private:
  bool null_;
  std::wstring wide_;
};

}  // namespace

std::size_t Win32Profile::GetString(const char* section, const char* key, const char* default_value,
                                    char* buffer, std::size_t size, const char* path) {
  if (size == 0) return 0;
  std::wstring value = Read(section, key, default_value, size, path);
  const int n = WideCharToMultiByte(CP_ACP, 0, value.c_str(), static_cast<int>(value.size()) + 1,
                                    buffer, static_cast<int>(size), nullptr, nullptr);
  if (n > 0) return static_cast<std::size_t>(n) - 1;
  buffer[size - 1] = '\0';  // too long in this code page: cut where it stopped
  return size - 1;
}

std::string Win32Profile::GetUnicodeString(const char* section, const char* key, std::size_t size,
                                           const char* path) {
  if (size == 0) return {};
  std::wstring value = Read(section, key, "", size, path);
  // Text from an ANSI file comes back unchanged; only a Unicode file holds
  // characters that the code page lacks or gives as look-alikes.
  if (FromAnsi(FromWide(value, CP_ACP)) == value) return {};
  return FromWide(value, CP_UTF8);
}

bool Win32Profile::WriteString(const char* section, const char* key, const char* value,
                               const char* path) {
  const bool flush = section == nullptr && key == nullptr && value == nullptr;
  auto it = path == nullptr ? new_files_.end() : new_files_.find(path);
  if (it != new_files_.end() && it->second.empty() && !flush &&
      !MakeNewFile(folder_.Reach(it->first), it->second)) {
    return false;
  }
  BOOL written = WritePrivateProfileStringW(WideText(section).get(), WideText(key).get(),
                                            WideText(value).get(), Target(path).c_str());
  // Every value is written through at once; the flush only empties a cache,
  // and its answer means nothing (Wine always gives 0).
  if (flush) return it == new_files_.end() || Publish(it);
  return written != 0;
}

void Win32Profile::StartNewFile(const char* path) { new_files_.emplace(path, std::wstring()); }

void Win32Profile::Discard(const char* path) {
  auto it = new_files_.find(path);
  if (it == new_files_.end()) return;
  if (!it->second.empty()) DeleteFileW(it->second.c_str());
  new_files_.erase(it);
}

std::wstring Win32Profile::Read(const char* section, const char* key, const char* default_value,
                                std::size_t size, const char* path) {
  std::wstring value(size, L'\0');
  DWORD n = GetPrivateProfileStringW(WideText(section).get(), WideText(key).get(),
                                     WideText(default_value).get(), value.data(),
                                     static_cast<DWORD>(size), Target(path).c_str());
  value.resize(std::min<std::size_t>(n, size - 1));
  return value;
}

std::wstring Win32Profile::Target(const char* path) const {
  auto it = path == nullptr ? new_files_.end() : new_files_.find(path);
  if (it != new_files_.end() && !it->second.empty()) return it->second;
  return path == nullptr ? std::wstring() : folder_.Reach(path);
}

// The series ends at its flush, published or not.
bool Win32Profile::Publish(NewFiles::iterator it) {
  const std::wstring target = folder_.Reach(it->first), file = it->second;
  new_files_.erase(it);
  return PublishNewFile(target, file);
}

}  // namespace torvinale
