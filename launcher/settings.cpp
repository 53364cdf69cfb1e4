#include "launcher/settings.h"

#include <optional>

#include "platform/ini_file.h"
#include "runtime/errors.h"

namespace torvinale {
namespace {

// The default file's keys and values, in the order written.
constexpr const char* kDefaults[][2] = {
#define TORVINALE_DEFAULT(key, value) {key, value},
#include "launcher/default_settings.def"
#undef TORVINALE_DEFAULT
};

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::int32_t> ParseInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';

  std::string_view rest = text.substr(i);
  std::size_t prefix = 0;
  if (rest.starts_with('$') || rest.starts_with('x') || rest.starts_with('X')) {
    prefix = 1;
  } else if (rest.starts_with("0x") || rest.starts_with("0X")) {
    prefix = 2;
  }

  if (prefix > 0) {
    std::string_view digits = rest.substr(prefix);
    if (digits.empty()) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0 || (value >> 28) != 0) return std::nullopt;  // bad digit or past 32 bits
      value = value << 4 | static_cast<std::uint32_t>(d);
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
  }

  if (rest.empty()) return std::nullopt;
  const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
  std::uint64_t magnitude = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  return negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                  : static_cast<std::int32_t>(magnitude);
}

}  // namespace

std::string ConfigPath(const std::string& working_directory) {
  return working_directory + kSeparator + kConfigName;
}

std::int32_t StrToInt(std::string_view text) {
  std::optional<std::int32_t> value = ParseInt(text);
  if (!value) Raise(EConvertError("'" + std::string(text) + "' is not a valid integer value"));
  return *value;
}

Settings LoadSettings(const std::string& working_directory, FileSystem& files, Profile& profile) {
  const std::string path = ConfigPath(working_directory);
  if (!files.FileIsPresent(kConfigName)) {
    // Never merged into a file that appears meanwhile: that one is read.
    TIniFile ini(profile, path, TIniFile::Opening::kNewFile);
    for (const auto& [key, value] : kDefaults) ini.WriteValue(kSection, key, value);
    // A file that never reached the disk must not pass for one that did.
    ini.Close();
  }

  Settings settings;
  if (files.FileIsPresent(kConfigName)) {
    TIniFile ini(profile, path);
    settings.counter = std::int64_t{StrToInt(ini.ReadValue(kSection, "Countdown", ""))} + 1;
    settings.pause = StrToInt(ini.ReadValue(kSection, "Pause", ""));
    for (int n = 1; n <= kEntryCount; ++n) {
      const std::string key = "Program" + std::to_string(n);
      settings.entries[n - 1] = ini.ReadValue(kSection, key, "");
      settings.unicode_entries[n - 1] = ini.ReadUnicodeValue(kSection, key);
    }
  }
  return settings;
}

}  // namespace torvinale
