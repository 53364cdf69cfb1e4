// Our profile (INI) functions for systems that have none. They read files the
// way the Windows profile functions do, so a config.ini means the same on both
// systems, and they write atomically, keeping every other byte of the file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/services.h"

namespace torvinale {

// The lookup alone, over a file's text; the default when the key is missing.
// The result is the value as the reader sees it, not yet cut to a buffer.
std::string LookUpProfileValue(std::string_view text, std::string_view section,
                               std::string_view key, std::string_view default_value);

// The text after setting section/key to value.
std::string UpdateProfileText(std::string_view text, std::string_view section, std::string_view key,
                              std::string_view value);

class PosixProfile final : public Profile {
 public:
  std::size_t GetString(const char* section, const char* key, const char* default_value,
                        char* buffer, std::size_t size, const char* path) override;
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* path) override;
};

}  // namespace torvinale
