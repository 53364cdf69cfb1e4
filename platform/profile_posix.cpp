// Placeholder until the real layer lands.
#include "platform/profile_posix.h"

#include <algorithm>
#include <cstring>

namespace torvinale {

std::string LookUpProfileValue(std::string_view, std::string_view, std::string_view,
                               std::string_view default_value) {
  return std::string(default_value);
}

std::string UpdateProfileText(std::string_view text, std::string_view, std::string_view,
                              std::string_view) {
  return std::string(text);
}

std::size_t PosixProfile::GetString(const char*, const char*, const char* default_value,
                                    char* buffer, std::size_t size, const char*) {
  std::size_t n = std::min(std::strlen(default_value), size - 1);
  std::memcpy(buffer, default_value, n);
  buffer[n] = '\0';
  return n;
}

bool PosixProfile::WriteString(const char*, const char*, const char*, const char*) { return false; }

}  // namespace torvinale
