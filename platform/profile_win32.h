// The profile (INI) functions on Windows: the system's own, reached through
// the file side of new_file_win32.h.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "platform/new_file_win32.h"
#include "platform/services.h"

namespace torvinale {

// The wide profile functions on the file's real name, with the texts
// converted as the ANSI ones convert them, so that every file reads as it
// would through those. A new file is written through the same calls into a
// file of its own beside the target, then moved into place without replacing
// anything: an ended run leaves none or all of it, and a file that appeared
// meanwhile is kept.
class Win32Profile final : public Profile {
 public:
  // Names in folder, and paths by its text, are reached by its real name.
  explicit Win32Profile(const WorkingFolder& folder) : folder_(folder) {}

  std::size_t GetString(const char* section, const char* key, const char* default_value,
                        char* buffer, std::size_t size, const char* path) override;
  // A file without a byte order mark may be UTF-8 as well as ANSI: its
  // values with a non-ASCII character that are valid UTF-8 have both readings.
  UnicodeName GetUnicodeString(const char* section, const char* key, std::size_t size,
                               const char* path) override;
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* path) override;
  void StartNewFile(const char* path) override;
  void Discard(const char* path) override;

 private:
  using NewFiles = std::map<std::string, std::wstring>;  // target, its file until the flush

  std::wstring Read(const char* section, const char* key, const char* default_value,
                    std::size_t size, const char* path);
  std::wstring Target(const char* path) const;
  bool Publish(NewFiles::iterator it);

  const WorkingFolder& folder_;
  NewFiles new_files_;
};

}  // namespace torvinale
