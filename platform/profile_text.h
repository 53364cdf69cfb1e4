// The text of a profile (INI) file, as our profile functions read and edit it:
// pure functions over the text, with no I/O. A config.ini that the launcher
// reads means the same here as through Windows' own functions (whose layer
// finds a value's bytes as the file holds them here).
//
// Lines end with CRLF, LF or a lone CR; a UTF-8 byte order mark is skipped.
// A file in UTF-16 is first converted (ReadableProfileText).
// Lines before the first "[name]" form the nameless section (Windows reads the
// keys under a "[]" header for it instead). Names match without regard to
// ASCII case, blanks (space, tab, VT, FF, Ctrl-Z) around names, "=" and values
// do not count, ";" starts a comment line, a line without "=" is a key without
// a value (read as missing), and only the first matching section and the
// first matching key in it are seen. A value wholly in double or single quotes
// loses them; a NUL byte ends a name or value, after its blanks have been
// dropped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace torvinale {

// Where the body of a section starts in a text: found once, it serves every
// lookup of that section while the text stays the same.
struct ProfileSection {
  bool found = false;
  std::size_t body = 0;
  bool needs_line_end = false;  // the header is the last line, without a line end
};

ProfileSection FindProfileSection(std::string_view text, std::string_view section);

// The value of key in a section found in text, or the default when the key is
// missing. The result is the value as the reader sees it, not yet cut to a
// buffer.
std::string LookUpProfileValueIn(std::string_view text, const ProfileSection& section,
                                 std::string_view key, std::string_view default_value);

// Both in one: the lookup alone, over a file's text.
std::string LookUpProfileValue(std::string_view text, std::string_view section,
                               std::string_view key, std::string_view default_value);

// The text after setting section/key to value (without the blanks around
// it): the key's line becomes "key=value" (keeping its line end and the key's
// spelling in the file), or a new line goes after the last entry of the
// section, or "[section]" and the key go at the end of the text. Added lines
// end with CRLF.
std::string UpdateProfileText(std::string_view text, std::string_view section, std::string_view key,
                              std::string_view value);

// False for an entry that would not read back as written: a line break
// anywhere, a key that holds "=" or starts a comment or section line, or a
// key of the nameless section that starts with a byte order mark.
bool IsStorableProfileEntry(std::string_view section, std::string_view key, std::string_view value);

// Our lines are single-byte text: added to a UTF-16 file they would ruin it.
bool IsUtf16ProfileText(std::string_view text);

// The text of a file as the functions above read it. UTF-16 (LE or BE, known
// by its byte order mark, as on Windows) becomes UTF-8 after a UTF-8 byte
// order mark, so that a U+FEFF of the file's own stays text. A lone surrogate
// and a last odd byte each read as U+FFFD. Any other text stays as it is.
std::string ReadableProfileText(std::string text);

}  // namespace torvinale
