// Our profile (INI) functions for systems that have none, over the text rules
// of profile_text.h and the files of new_file_posix.h. Only the launcher's
// calls are served: listing sections or keys reads nothing, deleting is
// refused.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "platform/new_file_posix.h"
#include "platform/services.h"

namespace torvinale {

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
  using NewFiles = NewFile::Kind;
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

  NewFiles new_files_;
  SeriesMap pending_;  // by path as passed
  std::unique_ptr<ReadCache> cache_;
  EndingSignals signals_;
};

}  // namespace torvinale
