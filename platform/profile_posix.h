// Our profile (INI) functions for systems that have none. A config.ini that
// the launcher reads means the same on both systems; they write atomically,
// keeping every other byte of the file. Only the launcher's calls are served:
// listing sections or keys reads nothing, deleting is refused.
//
// Reading: lines end with CRLF, LF or a lone CR; a UTF-8 byte order mark is
// skipped. Lines before the first "[name]" form the nameless section (Windows
// reads the keys under a "[]" header for it instead). Names
// match without regard to ASCII case, blanks (space, tab, VT, FF, Ctrl-Z)
// around names, "=" and values do not count, ";" starts a comment line, a
// line without "=" is a key without a value (read as missing), and only the
// first matching section and the first matching key in it are seen. A value
// wholly in double or single quotes loses them; a NUL byte ends a name or
// value, after its blanks have been dropped.
#pragma once

#include <signal.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/services.h"

namespace torvinale {

// The lookup alone, over a file's text; the default when the key is missing.
// The result is the value as the reader sees it, not yet cut to a buffer.
std::string LookUpProfileValue(std::string_view text, std::string_view section,
                               std::string_view key, std::string_view default_value);

// The text after setting section/key to value (without the blanks around
// it): the key's line becomes "key=value" (keeping its line end and the key's
// spelling in the file), or a new line goes after the last entry of the
// section, or "[section]" and the key go at the end of the text. Added lines
// end with CRLF.
std::string UpdateProfileText(std::string_view text, std::string_view section, std::string_view key,
                              std::string_view value);

// False for an entry that would not read back as written: a line break
// anywhere, a key that holds "=" or starts a comment or section line, or a
// key of the nameless section that starts with a UTF-8 byte order mark.
bool IsStorableProfileEntry(std::string_view section, std::string_view key, std::string_view value);

// Writes to a file collect in a new file beside it, held open from the first
// write of a series to the flush (null section, key and value), which syncs it
// and puts it in place in one step: a run ended half-way through a series
// leaves the old file, or none, never a part of the series. Where there was no
// file, the flush only creates one and keeps a file that appeared meanwhile;
// where the new file can be unnamed until then (Linux), nothing is left behind
// whatever ends the process. INT, TERM, HUP and QUIT wait until the series is
// published or dropped. Files are reached through their folder's descriptor,
// so paths longer than the system's limit work. Reads see pending writes.
class PosixProfile final : public Profile {
 public:
  enum class NewFiles { kUnnamedWherePossible, kNamed };
  explicit PosixProfile(NewFiles new_files = NewFiles::kUnnamedWherePossible);
  PosixProfile(const PosixProfile&) = delete;
  PosixProfile& operator=(const PosixProfile&) = delete;
  ~PosixProfile() override;

  std::size_t GetString(const char* section, const char* key, const char* default_value,
                        char* buffer, std::size_t size, const char* path) override;
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* path) override;

 private:
  struct ReadCache;
  struct Series;
  using SeriesMap = std::map<std::string, std::unique_ptr<Series>>;
  const ReadCache* Read(const char* path);
  bool Commit(const std::string& path);
  void End(SeriesMap::iterator it);
  void HoldSignals();
  void ReleaseSignals();

  NewFiles new_files_;
  SeriesMap pending_;  // by path as passed
  std::unique_ptr<ReadCache> cache_;
  bool holding_ = false;
  sigset_t saved_mask_{};
};

}  // namespace torvinale
