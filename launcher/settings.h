// The settings in config.ini: the default file, reading, number conversion.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/services.h"

namespace torvinale {

inline constexpr int kEntryCount = 10;
inline constexpr const char* kConfigName = "config.ini";
inline constexpr const char* kSection = "Torvinale";

struct Settings {
  // The configured Countdown plus one; the run decrements it before each tick.
  std::int64_t counter = 0;
  std::int32_t pause = 0;
  std::array<std::string, kEntryCount> entries;
  // The entries' second readings where the file gives them: the names the
  // shell may be given instead of the text (UnicodeName).
  std::array<UnicodeName, kEntryCount> unicode_entries;
};

// The working directory joined with the platform's separator and config.ini;
// the separator is added even when the directory already ends with one.
std::string ConfigPath(const std::string& working_directory);

// Signed 32-bit conversion: decimal with range check, or hexadecimal after
// "$", "x", "X", "0x" or "0X" read as two's complement. Raises EConvertError.
std::int32_t StrToInt(std::string_view text);

// Writes the default config.ini when there is none, then reads it if present.
Settings LoadSettings(const std::string& working_directory, FileSystem& files, Profile& profile);

}  // namespace torvinale
