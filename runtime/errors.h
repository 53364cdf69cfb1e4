// Error classes. The launcher catches none of them; every one that escapes
// ends in the report on standard error.
#pragma once

#include <exception>
#include <string>

namespace torvinale {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  virtual const char* ClassName() const { return "Exception"; }
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

#define TORVINALE_ERROR_CLASS(Name)                          \
  class Name : public Exception {                            \
   public:                                                   \
    using Exception::Exception;                              \
    const char* ClassName() const override { return #Name; } \
  }

TORVINALE_ERROR_CLASS(EConvertError);
TORVINALE_ERROR_CLASS(EIniFileException);
TORVINALE_ERROR_CLASS(EOutOfMemory);
TORVINALE_ERROR_CLASS(EAccessViolation);

#undef TORVINALE_ERROR_CLASS

class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int error_code)
      : Exception(std::move(message)), ErrorCode(error_code) {}
  const char* ClassName() const override { return "EInOutError"; }
  int ErrorCode;
};

// The code address where the error being thrown was raised; set by Raise.
const void* LastRaiseAddress();
void SetRaiseAddress(const void* address);

// Throws error with the caller's return address as its raise address. Not
// inlined, so that the address lies in the routine that raised the error.
template <typename E>
[[noreturn]] __attribute__((noinline)) void Raise(E error) {
  SetRaiseAddress(__builtin_extract_return_addr(__builtin_return_address(0)));
  throw error;
}

}  // namespace torvinale
