#include "platform/profile_text.h"

#include <algorithm>
#include <cstring>

namespace torvinale {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kAddedLineEnd = "\r\n";

// Windows also drops Ctrl-Z, the old end-of-file mark, with the blanks.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The Windows reader sees names and values as C strings, after it has
// dropped the blanks around them.
std::string_view CutAtNul(std::string_view s) { return s.substr(0, s.find('\0')); }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == '"' || value.front() == '\'')) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

struct Line {
  std::size_t begin;  // content is [begin, end)
  std::size_t end;    // line end is [end, next)
  std::size_t next;
};

// Two memchr scans: find_first_of tests every byte against the set one by one,
// which made reading a large file slow.
Line LineAt(std::string_view text, std::size_t pos) {
  const char* begin = text.data() + pos;
  std::size_t rest = text.size() - pos;
  const void* lf = std::memchr(begin, '\n', rest);
  if (lf != nullptr) rest = static_cast<std::size_t>(static_cast<const char*>(lf) - begin);
  const void* cr = std::memchr(begin, '\r', rest);
  if (cr != nullptr) rest = static_cast<std::size_t>(static_cast<const char*>(cr) - begin);
  std::size_t end = pos + rest;
  std::size_t next = end;
  if (next < text.size())
    next += (text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n') ? 2 : 1;
  return {pos, end, next};
}

enum class LineKind { kBlank, kComment, kSection, kKey, kOther };

struct ParsedLine {
  LineKind kind;
  std::string_view name;  // of a section or key, or the whole of another line
  std::string_view value;
};

ParsedLine ParseLine(std::string_view content) {
  std::string_view t = Trim(content);
  if (t.empty()) return {LineKind::kBlank, {}, {}};
  if (t.front() == ';') return {LineKind::kComment, {}, {}};
  if (t.front() == '[') {
    std::size_t close = t.rfind(']');
    if (close != std::string_view::npos) {
      return {LineKind::kSection, CutAtNul(Trim(t.substr(1, close - 1))), {}};
    }
  }
  std::size_t equals = t.find('=');
  if (equals == std::string_view::npos) return {LineKind::kOther, CutAtNul(t), {}};
  return {LineKind::kKey, CutAtNul(Trim(t.substr(0, equals))),
          CutAtNul(Trim(t.substr(equals + 1)))};
}

struct Location {
  bool section_found = false;
  bool key_found = false;
  bool key_has_value = false;
  Line key_line{};
  std::string_view stored_key;
  std::string_view value;
  // Where a new key of the section goes, and whether the line before it
  // still lacks a line end (the last line of a file without one).
  std::size_t insert_at = 0;
  bool insert_needs_line_end = false;
};

// Where the body of the first matching section starts.
ProfileSection FindSection(std::string_view text, std::string_view section) {
  std::size_t pos = text.starts_with(kUtf8Mark) ? kUtf8Mark.size() : 0;
  if (section.empty()) return {true, pos, false};  // lines before any header
  while (pos < text.size()) {
    Line line = LineAt(text, pos);
    std::string_view content = text.substr(line.begin, line.end - line.begin);
    // Only a header can start the section; other lines need no parsing here.
    if (Trim(content).starts_with('[')) {
      ParsedLine parsed = ParseLine(content);
      if (parsed.kind == LineKind::kSection && SameName(parsed.name, section)) {
        return {true, line.next, line.end == line.next};
      }
    }
    pos = line.next;
  }
  return {};
}

// Stops at the key or at the end of the section.
Location FindIn(std::string_view text, const ProfileSection& start, std::string_view key) {
  Location loc;
  if (!start.found) return loc;
  loc.section_found = true;
  loc.insert_at = start.body;
  loc.insert_needs_line_end = start.needs_line_end;
  std::size_t pos = start.body;
  while (pos < text.size()) {
    Line line = LineAt(text, pos);
    ParsedLine parsed = ParseLine(text.substr(line.begin, line.end - line.begin));
    if (parsed.kind == LineKind::kSection) break;
    if (parsed.kind == LineKind::kKey || parsed.kind == LineKind::kOther) {
      // Windows takes a line without "=" for a key without a value: it reads
      // as missing, and a write gives it one.
      if (SameName(parsed.name, key)) {
        loc.key_found = true;
        loc.key_has_value = parsed.kind == LineKind::kKey;
        loc.key_line = line;
        loc.stored_key = parsed.name;
        loc.value = parsed.value;
        return loc;
      }
      // Comments and blank lines after the last entry usually introduce the
      // next section, so new keys go before them.
      loc.insert_at = line.next;
      loc.insert_needs_line_end = line.end == line.next;
    }
    pos = line.next;
  }
  return loc;
}

Location Find(std::string_view text, std::string_view section, std::string_view key) {
  return FindIn(text, FindSection(text, section), key);
}

std::string ValueOrDefault(const Location& loc, std::string_view default_value) {
  if (loc.key_has_value) return std::string(Unquote(loc.value));
  // Windows drops trailing spaces of the default, and only spaces.
  while (default_value.ends_with(' ')) default_value.remove_suffix(1);
  return std::string(default_value);
}

bool EndsWithLineEnd(std::string_view text) { return text.ends_with('\n') || text.ends_with('\r'); }

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  auto byte = [&](char32_t b) { out += static_cast<char>(b); };
  if (c < 0x80) {
    byte(c);
  } else if (c < 0x800) {
    byte(0xC0 | c >> 6);
    byte(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    byte(0xE0 | c >> 12);
    byte(0x80 | (c >> 6 & 0x3F));
    byte(0x80 | (c & 0x3F));
  } else {
    byte(0xF0 | c >> 18);
    byte(0x80 | (c >> 12 & 0x3F));
    byte(0x80 | (c >> 6 & 0x3F));
    byte(0x80 | (c & 0x3F));
  }
}

}  // namespace

ProfileSection FindProfileSection(std::string_view text, std::string_view section) {
  return FindSection(text, Trim(section));
}

std::string LookUpProfileValueIn(std::string_view text, const ProfileSection& section,
                                 std::string_view key, std::string_view default_value) {
  return ValueOrDefault(FindIn(text, section, Trim(key)), default_value);
}

std::string LookUpProfileValue(std::string_view text, std::string_view section,
                               std::string_view key, std::string_view default_value) {
  return ValueOrDefault(Find(text, Trim(section), Trim(key)), default_value);
}

std::string UpdateProfileText(std::string_view text, std::string_view section, std::string_view key,
                              std::string_view value) {
  section = Trim(section);
  key = Trim(key);
  value = Trim(value);  // as Windows writes it; the reader drops them anyway
  Location loc = Find(text, section, key);
  std::string out;
  out.reserve(text.size() + section.size() + key.size() + value.size() + 8);
  if (loc.key_found) {
    out.append(text.substr(0, loc.key_line.begin));
    out.append(loc.stored_key).append("=").append(value);
    out.append(text.substr(loc.key_line.end));
  } else if (loc.section_found) {
    out.append(text.substr(0, loc.insert_at));
    if (loc.insert_needs_line_end) out.append(kAddedLineEnd);
    out.append(key).append("=").append(value).append(kAddedLineEnd);
    out.append(text.substr(loc.insert_at));
  } else {
    out.append(text);
    if (!text.empty() && text != kUtf8Mark && !EndsWithLineEnd(text)) out.append(kAddedLineEnd);
    out.append("[").append(section).append("]").append(kAddedLineEnd);
    out.append(key).append("=").append(value).append(kAddedLineEnd);
  }
  return out;
}

bool IsStorableProfileEntry(std::string_view section, std::string_view key,
                            std::string_view value) {
  constexpr std::string_view kBreaks("\r\n\0", 3);
  if (section.find_first_of(kBreaks) != std::string_view::npos ||
      key.find_first_of(kBreaks) != std::string_view::npos ||
      value.find_first_of(kBreaks) != std::string_view::npos) {
    return false;
  }
  key = Trim(key);
  // A key of the nameless section may become the file's first line, where
  // the reader would take its first bytes for a byte order mark.
  if (Trim(section).empty() && (key.starts_with(kUtf8Mark) || IsUtf16ProfileText(key))) {
    return false;
  }
  return key.find('=') == std::string_view::npos && !key.starts_with(';') && !key.starts_with('[');
}

bool IsUtf16ProfileText(std::string_view text) {
  return text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF");
}

std::string ReadableProfileText(std::string text) {
  if (!IsUtf16ProfileText(text)) return text;
  const bool big_endian = text[0] == '\xFE';
  auto unit = [&](std::size_t i) -> char32_t {
    const auto first = static_cast<unsigned char>(text[i]);
    const auto second = static_cast<unsigned char>(text[i + 1]);
    return big_endian ? (first << 8 | second) : (second << 8 | first);
  };
  std::string out(kUtf8Mark);
  out.reserve(kUtf8Mark.size() + text.size() / 2);  // mostly ASCII, in practice
  std::size_t i = 2;
  for (; i + 1 < text.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < text.size()) {
      const char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    AppendUtf8(out, c >= 0xD800 && c < 0xE000 ? kReplacement : c);
  }
  // Windows' reader (under Wine) takes a last odd byte with the byte after
  // the file's data for one character of unknown value.
  if (i < text.size()) AppendUtf8(out, kReplacement);
  return out;
}

}  // namespace torvinale
