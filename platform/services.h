// The operating-system services the launcher uses, each behind a narrow
// interface so that the whole run can be driven by fakes in tests. The real
// implementations are in the platform's _posix and _win32 files, and
// system.h hands them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace torvinale {

// Working directory and the presence test for config.ini.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // The whole working directory as the platform reports it, never cut.
  virtual std::string QueryWorkingDirectory() = 0;
  // True for an existing entry that is not a directory, and whenever the
  // query fails for any reason but "no such file": a file that may be there
  // must never be taken for missing and overwritten with the defaults.
  virtual bool FileIsPresent(const std::string& name) = 0;
};

// A value's name in Unicode, as UTF-8, where the value's ANSI text may name
// another file or none: a Unicode file's characters that the code page lacks,
// or the bytes of a file without a byte order mark, which may be UTF-8 as
// well as ANSI. Which of the two names the shell is given is told by use.
struct UnicodeName {
  enum class Use {
    kInstead,            // the ANSI text lost characters of it
    kWhereOnlyItExists,  // where the ANSI text names no file or folder and it names one
    kUnlessTextExists,   // wherever the ANSI text names no file or folder
  };
  std::string utf8;  // empty: there is none
  Use use = Use::kInstead;

  bool operator==(const UnicodeName&) const = default;
};

// The platform's profile (INI) functions, with their calling conventions:
// null section, key and value in WriteString flush the file, and false then
// means that what was written did not reach it.
class Profile {
 public:
  virtual ~Profile() = default;
  // Copies at most size - 1 bytes of the value (or the default) into buffer,
  // NUL-terminates it and returns the number of bytes copied.
  virtual std::size_t GetString(const char* section, const char* key, const char* default_value,
                                char* buffer, std::size_t size, const char* path) = 0;
  // The value's second reading, where the file gives one (UnicodeName); none
  // wherever GetString's text is the only one.
  virtual UnicodeName GetUnicodeString(const char* /*section*/, const char* /*key*/,
                                       std::size_t /*size*/, const char* /*path*/) {
    return {};
  }
  // False when the platform refused the write.
  virtual bool WriteString(const char* section, const char* key, const char* value,
                           const char* path) = 0;
  // The writes to path from here to its flush make a new file: the flush puts
  // it in place only where there is no file by then, and keeps one that is
  // there (which is then read instead: the flush succeeds). Nothing fails here.
  virtual void StartNewFile(const char* path) = 0;
  // Drops what was written to path since its last flush, where writes collect
  // until the flush: none of it reaches the file.
  virtual void Discard(const char* path) = 0;
};

// The shell's "open": never waits for what it starts.
class Shell {
 public:
  virtual ~Shell() = default;
  // False when the shell refused the entry.
  virtual bool Open(const std::string& entry) = 0;
  // An entry with a second name: the shell is asked once, for the one that
  // name's use tells. Only Windows' profile gives such names.
  virtual bool OpenEither(const std::string& entry, const UnicodeName& /*name*/) {
    return Open(entry);
  }
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Waits the full time, resuming after interruptions.
  virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// Text on its way to standard output, in the order it was written. Where the
// cursor is moved by text (a terminal), the console writes its moves here so
// that they land between the right pieces of the screen.
class TextStream {
 public:
  virtual void Write(std::string_view text) = 0;

 protected:
  ~TextStream() = default;
};

// Cursor placement and the window-message queue of the console.
class Console {
 public:
  virtual ~Console() = default;
  virtual void MoveCursor(std::int16_t row, std::int16_t column) = 0;
  virtual void PumpMessages() = 0;
};

// The standard-output handle, fetched anew at every Open.
class OutputSink {
 public:
  enum class Kind { kUnavailable, kCharDevice, kOther };
  virtual ~OutputSink() = default;
  virtual Kind Open() = 0;
  // 0 on success, otherwise the platform's error number.
  virtual int Write(const char* data, std::size_t size) = 0;
};

}  // namespace torvinale
