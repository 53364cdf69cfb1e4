// A program for the end-to-end tests to launch: it appends its own file name
// (UTF-8) and the wall-clock time in milliseconds to markers.log beside itself.
#include <chrono>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int main(int, char** argv) {
  long long ms = NowMs();
  // Whatever it prints must not reach the launcher's screen or report.
  std::fputs("marker noise\n", stdout);
  std::fputs("marker noise\n", stderr);
#ifdef _WIN32
  // By its wide name: a folder's ANSI name may hold "?" for what the code page lacks.
  (void)argv;
  std::wstring self(32768, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
  std::size_t cut = self.find_last_of(L"\\/");
  std::wstring name = self.substr(cut + 1);
  std::string utf8(static_cast<std::size_t>(name.size() * 4), '\0');
  utf8.resize(static_cast<std::size_t>(
      WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), utf8.data(),
                          static_cast<int>(utf8.size()), nullptr, nullptr)));
  std::FILE* log = _wfopen((self.substr(0, cut) + L"\\markers.log").c_str(), L"a");
#else
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string self = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : argv[0];
  std::size_t cut = self.find_last_of('/');
  std::string dir = cut == std::string::npos ? "." : self.substr(0, cut);
  std::string utf8 = cut == std::string::npos ? self : self.substr(cut + 1);
  std::FILE* log = std::fopen((dir + "/markers.log").c_str(), "a");
#endif
  if (log != nullptr) {
    std::fprintf(log, "%s %lld\n", utf8.c_str(), ms);
    std::fclose(log);
  }
  return 0;
}
