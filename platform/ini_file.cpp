#include "platform/ini_file.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "runtime/errors.h"

namespace torvinale {

TIniFile::TIniFile(Profile& profile, std::string path, Opening opening)
    : TCustomIniFile(std::move(path)),
      profile_(profile),
      unwinding_at_open_(std::uncaught_exceptions()) {
  if (opening == Opening::kNewFile) profile_.StartNewFile(this->path().c_str());
}

TIniFile::~TIniFile() {
  if (closed_) return;
  if (std::uncaught_exceptions() > unwinding_at_open_) {
    profile_.Discard(path().c_str());
  } else {
    Flush();
  }
}

std::string TIniFile::ReadValue(const std::string& section, const std::string& key,
                                const std::string& default_value) {
  std::vector<char> buffer(kReadBufferSize);
  std::size_t copied = profile_.GetString(section.c_str(), key.c_str(), default_value.c_str(),
                                          buffer.data(), buffer.size(), path().c_str());
  return std::string(buffer.data(), std::min(copied, buffer.size() - 1));
}

UnicodeName TIniFile::ReadUnicodeValue(const std::string& section, const std::string& key) {
  return profile_.GetUnicodeString(section.c_str(), key.c_str(), kReadBufferSize, path().c_str());
}

void TIniFile::WriteValue(const std::string& section, const std::string& key,
                          const std::string& value) {
  if (!profile_.WriteString(section.c_str(), key.c_str(), value.c_str(), path().c_str())) {
    Raise(EIniFileException("Unable to write to " + path()));
  }
}

void TIniFile::Flush() { profile_.WriteString(nullptr, nullptr, nullptr, path().c_str()); }

void TIniFile::Close() {
  closed_ = true;
  if (!profile_.WriteString(nullptr, nullptr, nullptr, path().c_str())) {
    Raise(EIniFileException("Unable to write to " + path()));
  }
}

}  // namespace torvinale
