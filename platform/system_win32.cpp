#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system.h"
#include "runtime/errors.h"

namespace torvinale {
namespace {

// Texts the program keeps are in the ANSI code page; files are reached by
// their wide names, so that no character the code page lacks is lost.
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

// The form the wide calls take beyond MAX_PATH where the system allows it;
// shorter paths keep the form every Windows takes.
std::wstring Reachable(std::wstring path) {
  if (path.size() < MAX_PATH || path.starts_with(LR"(\\?\)")) return path;
  if (path.starts_with(LR"(\\)")) return LR"(\\?\UNC\)" + path.substr(2);
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return LR"(\\?\)" + path;
  return path;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  return folder.ends_with(L'\\') ? folder + name : folder + L'\\' + name;
}

// The working folder by its real name, taken once at start. Its ANSI text is
// only shown: a "?" or a look-alike in it (a best fit) may name no folder, or
// another one.
class WorkingFolder {
 public:
  void Take() {
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

  const std::string& text() const { return text_; }

  // A name alone, or the folder's text joined with one, is that name in the
  // real folder; any other path is converted as the ANSI calls convert it.
  std::wstring Reach(std::string_view path) const {
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

 private:
  bool taken_ = false;
  std::wstring wide_;
  std::string text_;
};

WorkingFolder& Folder() {
  static WorkingFolder folder;
  return folder;
}

class Win32FileSystem final : public FileSystem {
 public:
  std::string QueryWorkingDirectory() override {
    Folder().Take();
    return Folder().text();
  }

  // Present whatever the last-write time: a file dated outside the DOS range
  // must not be overwritten with defaults.
  bool FileIsPresent(const std::string& name) override {
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(Folder().Reach(name).c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    FindClose(search);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
};

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

// The wide profile functions on the file's real name, with the texts
// converted as the ANSI ones convert them, so that every file reads as it
// would through those. A new file is written through the same calls into a
// file of its own beside the target, then moved into place without replacing
// anything: an ended run leaves none or all of it, and a file that appeared
// meanwhile is kept.
class Win32Profile final : public Profile {
 public:
  std::size_t GetString(const char* section, const char* key, const char* default_value,
                        char* buffer, std::size_t size, const char* path) override {
    if (size == 0) return 0;
    std::wstring value = Read(section, key, default_value, size, path);
    const int n = WideCharToMultiByte(CP_ACP, 0, value.c_str(), static_cast<int>(value.size()) + 1,
                                      buffer, static_cast<int>(size), nullptr, nullptr);
    if (n > 0) return static_cast<std::size_t>(n) - 1;
    buffer[size - 1] = '\0';  // too long in this code page: cut where it stopped
    return size - 1;
  }

  std::string GetUnicodeString(const char* section, const char* key, std::size_t size,
                               const char* path) override {
    if (size == 0) return {};
    std::wstring value = Read(section, key, "", size, path);
    // Text from an ANSI file comes back unchanged; only a Unicode file holds
    // characters that the code page lacks or gives as look-alikes.
    if (FromAnsi(FromWide(value, CP_ACP)) == value) return {};
    return FromWide(value, CP_UTF8);
  }

  bool WriteString(const char* section, const char* key, const char* value,
                   const char* path) override {
    const bool flush = section == nullptr && key == nullptr && value == nullptr;
    auto it = path == nullptr ? new_files_.end() : new_files_.find(path);
    if (it != new_files_.end() && it->second.empty() && !flush && !MakeNewFile(it)) return false;
    BOOL written = WritePrivateProfileStringW(WideText(section).get(), WideText(key).get(),
                                              WideText(value).get(), Target(path).c_str());
    // Every value is written through at once; the flush only empties a cache,
    // and its answer means nothing (Wine always gives 0).
    if (flush) return it == new_files_.end() || PublishNewFile(it);
    return written != 0;
  }

  void StartNewFile(const char* path) override { new_files_.emplace(path, std::wstring()); }

  void Discard(const char* path) override {
    auto it = new_files_.find(path);
    if (it == new_files_.end()) return;
    if (!it->second.empty()) DeleteFileW(it->second.c_str());
    new_files_.erase(it);
  }

 private:
  using NewFiles = std::map<std::string, std::wstring>;  // target, its file until the flush

  std::wstring Read(const char* section, const char* key, const char* default_value,
                    std::size_t size, const char* path) {
    std::wstring value(size, L'\0');
    DWORD n = GetPrivateProfileStringW(WideText(section).get(), WideText(key).get(),
                                       WideText(default_value).get(), value.data(),
                                       static_cast<DWORD>(size), Target(path).c_str());
    value.resize(std::min<std::size_t>(n, size - 1));
    return value;
  }

  std::wstring Target(const char* path) const {
    auto it = path == nullptr ? new_files_.end() : new_files_.find(path);
    if (it != new_files_.end() && !it->second.empty()) return it->second;
    return path == nullptr ? std::wstring() : Folder().Reach(path);
  }

  // Made empty and exclusively, so that nothing of someone else's is written
  // to. Where the target's path fits MAX_PATH and the usual name would not, a
  // name no longer than the target's own keeps it within the limit.
  bool MakeNewFile(NewFiles::iterator it) {
    const std::wstring target = Folder().Reach(it->first);
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
      HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        it->second = std::move(name);
        return true;
      }
      if (GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
  }

  bool PublishNewFile(NewFiles::iterator it) {
    const std::wstring target = Folder().Reach(it->first), temporary = it->second;
    new_files_.erase(it);
    if (temporary.empty()) return true;  // nothing was written
    if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
    DWORD attributes = GetFileAttributesW(target.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  NewFiles new_files_;
};

class Win32Shell final : public Shell {
 public:
  bool Open(const std::string& entry) override {
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

 private:
  // Editors save UTF-8 unless told otherwise; read as ANSI, a name with a
  // non-ASCII character names no file. ANSI text with such a character is
  // almost never valid UTF-8, so it still goes to the ANSI function.
  static bool AsUtf8Name(const std::string& entry, std::wstring& wide) {
    auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
    if (std::all_of(entry.begin(), entry.end(), ascii)) return false;
    const int size = static_cast<int>(entry.size());
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, entry.data(), size, nullptr, 0);
    if (n <= 0) return false;
    wide.resize(static_cast<std::size_t>(n));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, entry.data(), size, wide.data(), n) ==
           n;
  }

  bool com_initialised_ = false;
};

class Win32Clock final : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

class StdoutSink final : public OutputSink {
 public:
  Kind Open() override {
    handle_ = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle_ == INVALID_HANDLE_VALUE) return Kind::kUnavailable;
    DWORD type = GetFileType(handle_);
    if (type == FILE_TYPE_UNKNOWN) {
      CloseHandle(handle_);
      return Kind::kUnavailable;
    }
    return type == FILE_TYPE_CHAR ? Kind::kCharDevice : Kind::kOther;
  }

  int Write(const char* data, std::size_t size) override {
    DWORD written = 0;
    if (WriteFile(handle_, data, static_cast<DWORD>(size), &written, nullptr)) return 0;
    return static_cast<int>(GetLastError());
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class Win32Console final : public Console {
 public:
  void MoveCursor(std::int16_t row, std::int16_t column) override {
    SetConsoleCursorPosition(GetStdHandle(STD_OUTPUT_HANDLE), COORD{column, row});
  }

  void PumpMessages() override {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
};

}  // namespace

void PrepareProcess() {}

FileSystem& RealFileSystem() {
  static Win32FileSystem files;
  return files;
}

Profile& RealProfile() {
  static Win32Profile profile;
  return profile;
}

Shell& RealShell() {
  static Win32Shell shell;
  return shell;
}

Clock& RealClock() {
  static Win32Clock clock;
  return clock;
}

OutputSink& StandardOutput() {
  static StdoutSink sink;
  return sink;
}

Console& RealConsole(TextStream&) {
  static Win32Console console;
  return console;
}

void WriteStandardError(const char* data, std::size_t size) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), data, static_cast<DWORD>(size), &written, nullptr);
}

std::string ProgramFile() {
  char buffer[MAX_PATH + 1] = {};
  GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return buffer;
}

bool FindModule(const void* address, std::string& path, const void*& base) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) == 0 || info.State != MEM_COMMIT) return false;
  char buffer[MAX_PATH + 1] = {};
  if (GetModuleFileNameA(static_cast<HMODULE>(info.AllocationBase), buffer, sizeof buffer) == 0) {
    return false;
  }
  path = buffer;
  base = info.AllocationBase;
  return true;
}

void ConvertToConsoleCodePage(std::string& text) { CharToOemA(text.data(), text.data()); }

void ExitProcessWith(int code) { ExitProcess(static_cast<UINT>(code)); }

namespace {

FaultReporter report_fault = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER previous_filter = nullptr;
LONG handling_fault = 0;
const void* fault_instruction = nullptr;
char fault_message[64];

[[noreturn]] void ThrowAccessViolation() {
  SetRaiseAddress(fault_instruction);
  throw EAccessViolation(fault_message);
}

bool InOwnImage(const void* address) {
  auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  auto* p = static_cast<const unsigned char*>(address);
  return p >= image && p < image + nt->OptionalHeader.SizeOfImage;
}

// The platform asks this filter only when no debugger is attached; with one,
// the fault is left to the debugger. A fault in our own code resumes in a call
// to ThrowAccessViolation made as if from the faulting instruction, so the
// error unwinds from there (built with -fnon-call-exceptions) like any other.
// Frames of system code, or a second fault, may not unwind: those are
// reported at once, without the clean-ups.
LONG WINAPI OnUnhandledFault(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION &&
      record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const void* address = record->ExceptionAddress;
  ULONG_PTR target = record->NumberParameters >= 2 ? record->ExceptionInformation[1] : 0;
  char message[sizeof fault_message];
  std::snprintf(message, sizeof message, "Access violation at address %016llX",
                static_cast<unsigned long long>(target));
  if (InterlockedExchange(&handling_fault, 1) != 0 || !InOwnImage(address)) {
    report_fault(message, address);
  }
  std::memcpy(fault_message, message, sizeof message);
  fault_instruction = address;
  CONTEXT* context = pointers->ContextRecord;
  context->Rsp -= sizeof(DWORD64);
  // One past the instruction, so that the unwinder's look-up of the "call"
  // lands on the faulting instruction itself.
  *reinterpret_cast<DWORD64*>(context->Rsp) = context->Rip + 1;
  context->Rip = reinterpret_cast<DWORD64>(&ThrowAccessViolation);
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void InstallFaultHandlers(FaultReporter report) {
  report_fault = report;
  previous_filter = SetUnhandledExceptionFilter(OnUnhandledFault);
}

bool LeaveErrorToDebugger() { return IsDebuggerPresent() != 0; }

void RemoveFaultHandlers() { SetUnhandledExceptionFilter(previous_filter); }

}  // namespace torvinale
