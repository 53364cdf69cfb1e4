#include "runtime/output.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "runtime/errors.h"

namespace torvinale {

int& IoResult() {
  thread_local int result = 0;
  return result;
}

std::string IoErrorMessage(int code) {
  switch (code) {
    case 2:
      return "File not found";
    case 3:
      return "Invalid filename";
    case 4:
      return "Too many open files";
    case 5:
      return "File access denied";
    case 100:
      return "Read beyond end of file";
    case 101:
      return "Disk full";
    case 106:
      return "Invalid numeric input";
    default:
      return "I/O error " + std::to_string(code);
  }
}

void OutputCheck() {
  int code = IoResult();
  if (code == 0) return;
  IoResult() = 0;
  SetRaiseAddress(__builtin_extract_return_addr(__builtin_return_address(0)));
  throw EInOutError(IoErrorMessage(code), code);
}

bool TextOutput::EnsureOpen() {
  if (is_open()) return true;
  kind_ = sink_.Open();
  if (is_open()) return true;
  IoResult() = kCannotOpen;
  return false;
}

bool TextOutput::HandOver() {
  std::size_t size = used_;
  used_ = 0;
  if (size == 0) return true;
  int error = sink_.Write(buffer_, size);
  if (error == 0) return true;
  IoResult() = error;
  return false;
}

void TextOutput::Write(std::string_view text) {
  if (!EnsureOpen()) return;
  while (!text.empty()) {
    std::size_t n = std::min(text.size(), kBufferSize - used_);
    std::memcpy(buffer_ + used_, text.data(), n);
    used_ += n;
    text.remove_prefix(n);
    // A failed hand-over drops the rest of this text as well.
    if (used_ == kBufferSize && !HandOver()) return;
  }
}

void TextOutput::WriteLine(std::string_view text) {
  Write(text);
  Write("\r\n");
  if (is_char_device()) HandOver();
}

void TextOutput::Flush() {
  if (is_open()) HandOver();
}

}  // namespace torvinale
