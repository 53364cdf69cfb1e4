// Fakes of the operating-system services: they record what the launcher asked
// for, in order, and fail on demand.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/services.h"

namespace torvinale::testing {

// One transcript shared by the console and the output sink, so that cursor
// moves and text can be checked in the order they happened.
struct Transcript {
  std::string text;
};

class FakeFileSystem final : public FileSystem {
 public:
  std::string directory = "/home/user";
  std::set<std::string> present;
  std::vector<std::string> presence_queries;

  std::string QueryWorkingDirectory() override { return directory; }
  bool FileIsPresent(const std::string& name) override {
    presence_queries.push_back(name);
    return present.count(name) > 0;
  }
};

// Profile functions over a map: one file per path. Writes collect until the
// flush, which puts them in the file; a discard drops them.
class FakeProfile final : public Profile {
 public:
  using Key = std::tuple<std::string, std::string, std::string>;  // path, section, key
  std::map<Key, std::string> values;                              // in the files
  std::map<Key, std::string> pending;
  std::map<Key, UnicodeName> unicode;  // what GetUnicodeString gives
  std::vector<std::string> written_keys;
  std::vector<std::string> read_keys;
  std::vector<std::string> new_files;  // paths announced as new
  int flushes = 0;
  int discards = 0;
  int writes_before_failure = -1;  // -1: never fail
  bool flush_fails = false;        // what was written never reaches a file
  // Marks the file of a path as present in files when first flushed.
  FakeFileSystem* files = nullptr;

  std::size_t GetString(const char* section, const char* key, const char* default_value,
                        char* buffer, std::size_t size, const char* path) override {
    read_keys.push_back(key);
    auto it = values.find({path, section, key});
    std::string value = it == values.end() ? default_value : it->second;
    std::size_t n = std::min(value.size(), size - 1);
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return n;
  }

  UnicodeName GetUnicodeString(const char* section, const char* key, std::size_t,
                               const char* path) override {
    auto it = unicode.find({path, section, key});
    return it == unicode.end() ? UnicodeName() : it->second;
  }

  bool WriteString(const char* section, const char* key, const char* value,
                   const char* path) override {
    if (section == nullptr && key == nullptr && value == nullptr) {
      ++flushes;
      if (flush_fails) return false;
      if (!pending.empty() && files != nullptr) files->present.insert("config.ini");
      values.merge(pending);
      pending.clear();
      return true;
    }
    if (writes_before_failure == 0) return false;
    if (writes_before_failure > 0) --writes_before_failure;
    pending[{path, section, key}] = value;
    written_keys.push_back(key);
    return true;
  }

  void StartNewFile(const char* path) override { new_files.push_back(path); }
  void Discard(const char*) override {
    ++discards;
    pending.clear();
  }
};

class FakeShell final : public Shell {
 public:
  std::vector<std::string> opened;
  std::set<std::string> refused;
  std::vector<std::string>* events = nullptr;

  std::map<std::string, UnicodeName> second_names;  // by entry

  bool Open(const std::string& entry) override {
    opened.push_back(entry);
    if (events != nullptr) events->push_back("open " + entry);
    return refused.count(entry) == 0;
  }
  bool OpenEither(const std::string& entry, const UnicodeName& name) override {
    second_names[entry] = name;
    return Open(entry);
  }
};

class FakeClock final : public Clock {
 public:
  std::vector<std::uint32_t> sleeps;
  std::vector<std::string>* events = nullptr;

  void Sleep(std::uint32_t milliseconds) override {
    sleeps.push_back(milliseconds);
    if (events != nullptr) events->push_back("sleep " + std::to_string(milliseconds));
  }
};

class FakeConsole final : public Console {
 public:
  explicit FakeConsole(Transcript& transcript) : transcript_(transcript) {}
  int pumps = 0;

  void MoveCursor(std::int16_t row, std::int16_t column) override {
    transcript_.text += "<" + std::to_string(row) + "," + std::to_string(column) + ">";
  }
  void PumpMessages() override {
    ++pumps;
    transcript_.text += "<pump>";
  }

 private:
  Transcript& transcript_;
};

// Standard output: records every hand-over and fails on demand.
class FakeSink final : public OutputSink {
 public:
  explicit FakeSink(Transcript& transcript, Kind kind = Kind::kCharDevice)
      : kind(kind), transcript_(transcript) {}

  Kind kind;
  int opens = 0;
  std::vector<std::string> writes;
  int fail_with = 0;          // error number for the next writes, 0: succeed
  int writes_until_fail = 0;  // successful writes before fail_with applies

  Kind Open() override {
    ++opens;
    return kind;
  }
  int Write(const char* data, std::size_t size) override {
    if (fail_with != 0 && writes_until_fail-- <= 0) return fail_with;
    writes.emplace_back(data, size);
    transcript_.text.append(data, size);
    return 0;
  }

 private:
  Transcript& transcript_;
};

}  // namespace torvinale::testing
