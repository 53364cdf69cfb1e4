#include "platform/profile_win32.h"

#include <windows.h>

#include <algorithm>

#include "platform/profile_text.h"

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

template <typename Text>
bool IsAscii(const Text& text) {
  return std::all_of(text.begin(), text.end(), [](auto c) { return (c & ~0x7F) == 0; });
}

// False where the file cannot be read, as a whole, as it stands.
bool ReadWholeFile(const std::wstring& name, std::string& text) {
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char chunk[4096];
  DWORD n = 0;
  bool whole = false;
  while (!whole && ReadFile(file, chunk, sizeof chunk, &n, nullptr)) {
    text.append(chunk, n);
    whole = n == 0;
  }
  CloseHandle(file);
  return whole;
}

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

UnicodeName Win32Profile::GetUnicodeString(const char* section, const char* key, std::size_t size,
                                           const char* path) {
  if (size == 0 || section == nullptr || key == nullptr) return {};
  const std::wstring value = Read(section, key, "", size, path);
  if (IsAscii(value)) return {};
  std::string file;
  if (!ReadWholeFile(Target(path), file) || file.starts_with("\xEF\xBB\xBF") ||
      IsUtf16ProfileText(file)) {
    // A Unicode file: only it holds characters that the code page lacks or
    // gives as look-alikes.
    if (FromAnsi(FromWide(value, CP_ACP)) == value) return {};
    return {FromWide(value, CP_UTF8), UnicodeName::Use::kInstead};
  }
  // Read as ANSI, byte pairs that are no character of a double-byte code page
  // are lost: the UTF-8 reading is the value's bytes in the file, unless our
  // reading of the file finds another value there.
  std::string bytes = LookUpProfileValue(file, section, key, "");
  if (FromAnsi(bytes) != value) {
    bytes = FromWide(value, CP_ACP);
    if (bytes.size() >= size) bytes.resize(size - 1);  // as GetString cuts it
  }
  std::wstring unused;
  if (IsAscii(bytes) || !FromUtf8(bytes, unused)) return {};
  return {std::move(bytes), FromUtf8(file, unused) ? UnicodeName::Use::kUnlessTextExists
                                                   : UnicodeName::Use::kWhereOnlyItExists};
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
