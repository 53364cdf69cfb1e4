// StrToInt against a model of the number syntax written separately from it:
// the model strips leading zeros and counts digits instead of watching for
// overflow, so the two share no logic.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "launcher/settings.h"
#include "runtime/errors.h"

namespace {

constexpr std::string_view kDecimalDigits = "0123456789";
constexpr std::string_view kHexDigits = "0123456789abcdefABCDEF";

bool AllOf(std::string_view text, std::string_view allowed) {
  return text.find_first_not_of(allowed) == std::string_view::npos;
}

std::string_view WithoutLeadingZeros(std::string_view digits) {
  std::size_t first = digits.find_first_not_of('0');
  return first == std::string_view::npos ? std::string_view() : digits.substr(first);
}

// Upper-case letters follow the lower-case ones in kHexDigits.
std::int64_t DigitValue(char c) {
  std::size_t at = kHexDigits.find(c);
  return static_cast<std::int64_t>(at < 16 ? at : at - 6);
}

std::optional<std::int32_t> Model(std::string_view text) {
  std::size_t blanks = text.find_first_not_of(' ');
  if (blanks == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(blanks);
  bool minus = false;
  if (rest[0] == '+' || rest[0] == '-') {
    minus = rest[0] == '-';
    rest.remove_prefix(1);
  }

  std::string_view hex;
  bool is_hex = true;
  if (rest.starts_with("0x") || rest.starts_with("0X")) {
    hex = rest.substr(2);
  } else if (rest.starts_with("$") || rest.starts_with("x") || rest.starts_with("X")) {
    hex = rest.substr(1);
  } else {
    is_hex = false;
  }

  if (is_hex) {
    if (hex.empty() || !AllOf(hex, kHexDigits)) return std::nullopt;
    std::string_view significant = WithoutLeadingZeros(hex);
    if (significant.size() > 8) return std::nullopt;
    std::int64_t bits = 0;
    for (char c : significant) bits = bits * 16 + DigitValue(c);
    if (minus) bits = (std::int64_t{1} << 32) - bits;
    bits %= std::int64_t{1} << 32;
    if (bits >= std::int64_t{1} << 31) bits -= std::int64_t{1} << 32;
    return static_cast<std::int32_t>(bits);
  }

  if (rest.empty() || !AllOf(rest, kDecimalDigits)) return std::nullopt;
  std::string_view significant = WithoutLeadingZeros(rest);
  if (significant.size() > 10) return std::nullopt;
  std::int64_t value = 0;
  for (char c : significant) value = value * 10 + (c - '0');
  if (minus) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

[[noreturn]] void Mismatch(std::string_view text, const std::string& got, const std::string& want) {
  std::fprintf(stderr, "StrToInt(\"%.*s\") gave %s, the model %s\n", static_cast<int>(text.size()),
               text.data(), got.c_str(), want.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::int32_t> want = Model(text);
  try {
    std::int32_t got = torvinale::StrToInt(text);
    if (!want || *want != got) {
      Mismatch(text, std::to_string(got), want ? std::to_string(*want) : "an error");
    }
  } catch (const torvinale::EConvertError& e) {
    if (want) Mismatch(text, "an error", std::to_string(*want));
    const std::string message = "'" + std::string(text) + "' is not a valid integer value";
    if (e.Message() != message) Mismatch(text, "the message " + e.Message(), message);
  }
  return 0;
}
