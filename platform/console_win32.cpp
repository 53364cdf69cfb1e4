// Standard output and error, and the console's cursor and message queue.
#include <windows.h>

#include "platform/system.h"

namespace torvinale {
namespace {

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

}  // namespace torvinale
