// INI-file accessor: each operation is one call of the profile functions,
// which own the file's text format.
#pragma once

#include <string>

#include "platform/services.h"

namespace torvinale {

class TCustomIniFile {
 public:
  explicit TCustomIniFile(std::string path) : path_(std::move(path)) {}
  TCustomIniFile(const TCustomIniFile&) = delete;
  TCustomIniFile& operator=(const TCustomIniFile&) = delete;
  virtual ~TCustomIniFile() = default;

  virtual std::string ReadValue(const std::string& section, const std::string& key,
                                const std::string& default_value) = 0;
  virtual void WriteValue(const std::string& section, const std::string& key,
                          const std::string& value) = 0;
  virtual void Flush() = 0;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Closing (destruction) flushes. While an error unwinds through it, it drops
// what was not flushed instead: a failed run publishes none of its writes.
class TIniFile final : public TCustomIniFile {
 public:
  static constexpr std::size_t kReadBufferSize = 2048;
  // A new file is only ever created: a file that is there by the flush, or
  // appears until then, is kept and the writes are dropped.
  enum class Opening { kExisting, kNewFile };

  TIniFile(Profile& profile, std::string path, Opening opening = Opening::kExisting);
  ~TIniFile() override;

  std::string ReadValue(const std::string& section, const std::string& key,
                        const std::string& default_value) override;
  // The value's second reading, by its Unicode characters, where the file
  // gives one (UnicodeName).
  UnicodeName ReadUnicodeValue(const std::string& section, const std::string& key);
  // Raises EIniFileException when the platform refuses the write.
  void WriteValue(const std::string& section, const std::string& key,
                  const std::string& value) override;
  void Flush() override;
  // Closes after a series of writes: raises EIniFileException when what was
  // written could not reach the file. Closing by destruction then does nothing.
  void Close();

 private:
  Profile& profile_;
  const int unwinding_at_open_;
  bool closed_ = false;
};

}  // namespace torvinale
