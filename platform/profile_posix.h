// Our profile (INI) functions for systems that have none, over the text rules
// of profile_text.h and the files of new_file_posix.h. Only the launcher's
// calls are served: listing sections or keys reads nothing, deleting is
// refused.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/new_file_posix.h"
#include "platform/services.h"

namespace torvinale {

// Writes to a file collect in a staged file beside it, held open from the first
// write of a series to the flush (null section, key and value), which syncs it
// and puts it in place in one step: a run ended half-way through a series
// leaves the old file, or none, never a part of the series, and a series that
// is discarded (or never flushed) leaves the file as it was. A new file only
// ever creates one and keeps a file that appeared meanwhile; where it can be
// unnamed until then (Linux), nothing is left behind whatever ends the
// process. Every signal that would end the process waits until the series is
// published or dropped. Files are reached through their folder's descriptor,
// so paths longer than the system's limit work, and files in the working
// folder through the folder held since it was taken. Reads see pending writes.
class PosixProfile final : public Profile {
 public:
  explicit PosixProfile(const WorkingFolder* working = nullptr,
                        NewFileKind new_file_kind = NewFileKind::kUnnamedWherePossible);
  PosixProfile(const PosixProfile&) = delete;
  PosixProfile& operator=(const PosixProfile&) = delete;
  ~PosixProfile() override;

  std::size_t GetString(const char* section, const char* key, const char* default_value,
                        char* buffer, std::size_t size, const char* path) override;
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* path) override;
  void StartNewFile(const char* path) override;
  void Discard(const char* path) override;

 private:
  struct ReadCache;
  struct Series;
  using SeriesMap = std::map<std::string, std::unique_ptr<Series>>;
  const ReadCache* Read(const char* path);
  std::unique_ptr<Series> Begin(const char* path, const char* section, const char* key,
                                const char* value, bool& unchanged);
  bool Flush(const std::string& path);
  void End(SeriesMap::iterator it);

  const WorkingFolder* working_;
  NewFileKind new_file_kind_;
  std::set<std::string, std::less<>> new_files_;  // paths whose next series makes a new file
  SeriesMap pending_;                             // by path as passed
  std::unique_ptr<ReadCache> cache_;
  EndingSignals signals_;
};

}  // namespace torvinale
