// Runs a script of profile operations through the platform's profile functions
// (Windows) or through ours (POSIX), so that run_diff.py can compare the two.
// With --through-program on Windows they go through the program's own layer
// instead, which must give what the platform's ANSI functions give; a relative
// path is then taken in the working folder as the program takes config.ini.
//
// Script lines (fields separated by one tab; in every field a byte outside
// "!".."~" and the backslash are written as \xHH):
//   R <path> <section> <key>          GetString, buffer 2048, default ""
//   W <path> <section> <key> <value>  WriteString
//   F <path>                          the flush (null section, key, value)
// Output: one line per operation, "R <count> <value>", "W <0|1>" or "F".
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/system.h"
#else
#include "platform/profile_posix.h"
#endif

namespace {

constexpr unsigned kBufferSize = 2048;

#ifdef _WIN32
bool through_program = false;
std::string working_folder;
#else
torvinale::PosixProfile profile;
#endif

std::size_t Read(const char* section, const char* key, char* buffer, const char* path) {
#ifdef _WIN32
  if (through_program) {
    return torvinale::RealProfile().GetString(section, key, "", buffer, kBufferSize, path);
  }
  return GetPrivateProfileStringA(section, key, "", buffer, kBufferSize, path);
#else
  return profile.GetString(section, key, "", buffer, kBufferSize, path);
#endif
}

bool Write(const char* section, const char* key, const char* value, const char* path) {
#ifdef _WIN32
  if (through_program) return torvinale::RealProfile().WriteString(section, key, value, path);
  return WritePrivateProfileStringA(section, key, value, path) != 0;
#else
  return profile.WriteString(section, key, value, path);
#endif
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& field, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    if (i + 3 >= field.size() || field[i + 1] != 'x') return false;
    int high = HexDigit(field[i + 2]);
    int low = HexDigit(field[i + 3]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 3;
  }
  return true;
}

std::string Escape(const char* data, std::size_t size) {
  std::string out;
  char hex[8];
  for (std::size_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c < 0x21 || c > 0x7e || c == '\\') {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

// One operation; false for a line the driver does not understand.
bool Run(const std::string& line, std::string& result) {
  std::vector<std::string> raw = Split(line);
  std::vector<std::string> f(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (!Unescape(raw[i], f[i])) return false;
  }
#ifdef _WIN32
  if (through_program && f.size() > 1 && f[1].find(':') == std::string::npos) {
    f[1] = working_folder + "\\" + f[1];
  }
#endif
  if (f[0] == "R" && f.size() == 4) {
    std::vector<char> buffer(kBufferSize, '\x7f');
    std::size_t n = Read(f[2].c_str(), f[3].c_str(), buffer.data(), f[1].c_str());
    if (n >= kBufferSize || buffer[n] != '\0') return false;
    result = "R\t" + std::to_string(n) + "\t" + Escape(buffer.data(), n);
  } else if (f[0] == "W" && f.size() == 5) {
    bool ok = Write(f[2].c_str(), f[3].c_str(), f[4].c_str(), f[1].c_str());
    result = ok ? "W\t1" : "W\t0";
  } else if (f[0] == "F" && f.size() == 2) {
    // The result is not compared: the launcher ignores it, and Wine's is always 0.
    Write(nullptr, nullptr, nullptr, f[1].c_str());
    result = "F";
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  if (argc == 3 && std::strcmp(argv[1], "--through-program") == 0) {
    through_program = true;
    working_folder = torvinale::RealFileSystem().QueryWorkingDirectory();
    --argc;
    ++argv;
  }
#endif
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s [--through-program] SCRIPT\n", argv[0]);
    return 2;
  }
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::FILE* script = std::fopen(argv[1], "rb");
  if (script == nullptr) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 2;
  }
  std::string line;
  std::string result;
  unsigned number = 0;
  for (int c = std::fgetc(script); c != EOF; c = std::fgetc(script)) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    ++number;
    if (!Run(line, result)) {
      std::fprintf(stderr, "%s:%u: bad operation\n", argv[1], number);
      return 2;
    }
    std::fwrite(result.data(), 1, result.size(), stdout);
    std::fputc('\n', stdout);
    line.clear();
  }
  std::fclose(script);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
