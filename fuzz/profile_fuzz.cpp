// The POSIX profile layer on arbitrary files and entries. Beyond not crashing,
// a write must read back (for entries the layer can store, and values it reads
// back unchanged), must leave every other key reading as before, and the file
// on disk must hold exactly the updated text. A UTF-16 file must read as the C
// library converts it where it can, and as valid UTF-8 always.
//
// Input: section, key and value, each ended by a backslash and one more
// character (two backslashes stand for one), then the file's text.
#include <fuzzer/FuzzedDataProvider.h>
#include <iconv.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/profile_posix.h"
#include "platform/profile_text.h"

namespace {

using torvinale::IsStorableProfileEntry;
using torvinale::LookUpProfileValue;
using torvinale::ReadableProfileText;
using torvinale::UpdateProfileText;

// A value that no lookup finds: found values never hold a line break.
constexpr std::string_view kMissing = "\nmissing";
constexpr std::size_t kBufferSize = 2048;
constexpr std::size_t kMaxProbes = 32;

std::string directory;
std::string path;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  a = Trimmed(a);
  b = Trimmed(b);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Values with outer blanks or outer quotes are read back without them.
bool ReadsBackUnchanged(std::string_view value) {
  if (value.empty()) return true;
  if (IsBlank(value.front()) || IsBlank(value.back())) return false;
  return !(value.size() >= 2 && value.front() == value.back() &&
           (value.front() == '"' || value.front() == '\''));
}

// A rough list of the section and key names in text, to ask about after a
// write. It need not parse as the layer does: any name will do as a probe.
std::vector<std::pair<std::string, std::string>> Probes(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> probes;
  std::string section;
  while (!text.empty() && probes.size() < kMaxProbes) {
    std::size_t end = std::min(text.find_first_of("\r\n"), text.size());
    std::string_view line = Trimmed(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.starts_with('[') && line.find(']') != std::string_view::npos) {
      section = line.substr(1, line.rfind(']') - 1);
    } else if (std::size_t equals = line.find('='); equals != std::string_view::npos) {
      probes.emplace_back(section, line.substr(0, equals));
    }
  }
  return probes;
}

[[noreturn]] void Fail(const char* what, std::string_view section, std::string_view key,
                       std::string_view detail) {
  std::fprintf(stderr, "%s: [%.*s] %.*s: %.*s\n", what, static_cast<int>(section.size()),
               section.data(), static_cast<int>(key.size()), key.data(),
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

void CheckTextUpdate(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value) {
  LookUpProfileValue(text, section, key, value);
  const std::string updated = UpdateProfileText(text, section, key, value);
  if (!IsStorableProfileEntry(section, key, value)) return;

  if (ReadsBackUnchanged(value) && LookUpProfileValue(updated, section, key, kMissing) != value) {
    Fail("value written does not read back", section, key, value);
  }
  for (const auto& [other_section, other_key] : Probes(text)) {
    if (SameName(other_section, section) && SameName(other_key, key)) continue;
    if (LookUpProfileValue(updated, other_section, other_key, kMissing) !=
        LookUpProfileValue(text, other_section, other_key, kMissing)) {
      Fail("write changed another key", other_section, other_key, updated);
    }
  }
}

// False where iconv finds the input malformed.
bool Iconv(const char* from, std::string in, std::string& out) {
  iconv_t cd = iconv_open("UTF-8", from);
  out.assign(in.size() * 2, '\0');
  char *src = in.data(), *dst = out.data();
  std::size_t src_left = in.size(), dst_left = out.size();
  const bool ok = iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return ok;
}

void CheckConversion(const std::string& text) {
  if (!text.starts_with("\xFF\xFE") && !text.starts_with("\xFE\xFF")) return;
  const std::string utf8 = ReadableProfileText(text);
  std::string expected;
  if (Iconv(text[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE", text.substr(2), expected) &&
      utf8 != "\xEF\xBB\xBF" + expected) {
    Fail("UTF-16 converted otherwise than by iconv", "", "", utf8);
  }
  if (!utf8.starts_with("\xEF\xBB\xBF") || !Iconv("UTF-8", utf8, expected)) {
    Fail("UTF-16 converted to invalid UTF-8", "", "", utf8);
  }
}

std::string Contents() {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

// The same through the files: the C strings end at the first NUL byte.
void CheckFileUpdate(const std::string& text, const std::string& section, const std::string& key,
                     const std::string& value) {
  std::filesystem::remove(path);
  std::ofstream(path, std::ios::binary) << text;

  torvinale::PosixProfile profile;
  const bool written =
      profile.WriteString(section.c_str(), key.c_str(), value.c_str(), path.c_str());
  // The file changes at the flush that closing an INI file makes.
  if (!profile.WriteString(nullptr, nullptr, nullptr, path.c_str()))
    Fail("flush failed", "", "", "");
  const std::string_view s = section.c_str(), k = key.c_str(), v = value.c_str();
  const bool utf16 = text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF");
  if (written != (IsStorableProfileEntry(s, k, v) && !utf16)) {
    Fail(written ? "write accepted" : "write refused", s, k, v);
  }
  const std::string contents = Contents();
  if (contents != (written ? UpdateProfileText(text, s, k, v) : text)) {
    Fail("file differs from the updated text", s, k, contents);
  }
  if (std::distance(std::filesystem::directory_iterator(directory), {}) != 1) {
    Fail("temporary file left behind", s, k, v);
  }

  char buffer[kBufferSize];
  const std::size_t n =
      profile.GetString(section.c_str(), key.c_str(), "", buffer, sizeof buffer, path.c_str());
  if (n >= kBufferSize || buffer[n] != '\0') Fail("read overran its buffer", s, k, v);
  const std::string_view read(buffer, n);
  if (read !=
      LookUpProfileValue(ReadableProfileText(contents), s, k, "").substr(0, kBufferSize - 1)) {
    Fail("read differs from the lookup", s, k, read);
  }
  if (written && ReadsBackUnchanged(v) && read != v.substr(0, kBufferSize - 1)) {
    Fail("value written does not read back from the file", s, k, read);
  }
}

void RemoveDirectory() { std::filesystem::remove_all(directory); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Memory-backed when possible: every write syncs the file.
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = base + "/profile-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  directory = pattern;
  path = directory + "/config.ini";
  std::atexit(RemoveDirectory);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string section = input.ConsumeRandomLengthString();
  const std::string key = input.ConsumeRandomLengthString();
  const std::string value = input.ConsumeRandomLengthString();
  const std::string text = input.ConsumeRemainingBytesAsString();
  CheckConversion(text);
  CheckTextUpdate(text, section, key, value);
  CheckFileUpdate(text, section, key, value);
  return 0;
}
