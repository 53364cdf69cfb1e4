// The buffered standard-output stream and its failure code.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/services.h"

namespace torvinale {

// The pending I/O failure code of this thread's output stream; 0 if none.
int& IoResult();

// Raises EInOutError for a pending IoResult and clears it. Not inlined: the
// raise address is the point right after the call, in the writing code.
__attribute__((noinline)) void OutputCheck();

// Message for an I/O failure code.
std::string IoErrorMessage(int code);

// Text passes through a 128-byte buffer that is handed to the sink when it
// fills, and at every line end when the sink is a character device. Failures
// are stored in IoResult, never thrown.
class TextOutput final : public TextStream {
 public:
  static constexpr std::size_t kBufferSize = 128;
  static constexpr int kCannotOpen = 105;

  explicit TextOutput(OutputSink& sink) : sink_(sink) {}
  TextOutput(const TextOutput&) = delete;
  TextOutput& operator=(const TextOutput&) = delete;

  void Write(std::string_view text) override;
  // The text, then CR LF.
  void WriteLine(std::string_view text);
  // Hands over whatever is buffered; nothing when never opened.
  void Flush();
  bool is_open() const { return kind_ != OutputSink::Kind::kUnavailable; }
  bool is_char_device() const { return kind_ == OutputSink::Kind::kCharDevice; }

 private:
  bool EnsureOpen();
  // Returns false (and empties the buffer) when the sink refused the text.
  bool HandOver();

  OutputSink& sink_;
  OutputSink::Kind kind_ = OutputSink::Kind::kUnavailable;
  char buffer_[kBufferSize];
  std::size_t used_ = 0;
};

}  // namespace torvinale
