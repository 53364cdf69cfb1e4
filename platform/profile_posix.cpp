#include "platform/profile_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

Line LineAt(std::string_view text, std::size_t pos) {
  std::size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
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

// One pass; stops at the key or at the end of the first matching section.
Location Find(std::string_view text, std::string_view section, std::string_view key) {
  Location loc;
  std::size_t pos = text.starts_with(kUtf8Mark) ? kUtf8Mark.size() : 0;
  bool inside = section.empty();  // lines before any header
  loc.section_found = inside;
  loc.insert_at = pos;
  while (pos < text.size()) {
    Line line = LineAt(text, pos);
    ParsedLine parsed = ParseLine(text.substr(line.begin, line.end - line.begin));
    if (parsed.kind == LineKind::kSection) {
      if (inside) break;
      if (SameName(parsed.name, section)) {
        inside = loc.section_found = true;
        loc.insert_at = line.next;
        loc.insert_needs_line_end = line.end == line.next;
      }
    } else if (inside && (parsed.kind == LineKind::kKey || parsed.kind == LineKind::kOther)) {
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

bool EndsWithLineEnd(std::string_view text) { return text.ends_with('\n') || text.ends_with('\r'); }

// --- Files ---

// A FIFO or device must neither block the reader nor stream forever, so only
// regular files are read.
bool ReadRegularFile(int fd, std::string& text) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  text.clear();
  text.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.append(chunk, static_cast<std::size_t>(n));
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool SyncFile(int fd) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// The file a write replaces: a symbolic link is followed so that the link
// stays, but a dangling one is refused rather than replaced by a file.
bool ResolveTarget(const char* path, std::string& target) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    if (errno != ENOENT) return false;
    target = path;
    return true;
  }
  if (!S_ISLNK(st.st_mode)) {
    target = path;
    return true;
  }
  char* resolved = realpath(path, nullptr);
  if (resolved == nullptr) return false;
  target = resolved;
  std::free(resolved);
  return true;
}

std::string TempName(const std::string& directory_prefix, std::string_view base, unsigned attempt) {
  static unsigned counter = 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%lx.%x.%lx.tmp", static_cast<unsigned long>(getpid()),
                counter++ + attempt, static_cast<unsigned long>(now.tv_nsec));
  // Kept short so that the name stays within the file system's limit.
  return directory_prefix + "." + std::string(base.substr(0, 64)) + suffix;
}

// Writes text to a new file beside target (or over the one made for an
// earlier write of the same series), synced to disk. The old file's mode and
// owner carry over.
bool WriteTemp(const std::string& target, std::string& temp, std::string_view text) {
  int fd = -1;
  if (temp.empty()) {
    std::size_t slash = target.rfind('/');
    std::string prefix = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string_view base = std::string_view(target).substr(prefix.size());
    for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
      temp = TempName(prefix, base, attempt);
      fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      temp.clear();
      return false;
    }
    struct stat old;
    if (stat(target.c_str(), &old) == 0) {
      // Best effort: only root may give the file back to another owner.
      [[maybe_unused]] int owner_kept = fchown(fd, old.st_uid, old.st_gid);
      if (fchmod(fd, old.st_mode & 07777) != 0) {
        close(fd);
        return false;
      }
    }
  } else {
    fd = open(temp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
  }
  bool ok = WriteAll(fd, text) && SyncFile(fd);
  return close(fd) == 0 && ok;
}

// Renames temp over target, so that target holds either all of the old text
// or all of the new one.
bool ReplaceWithTemp(const std::string& target, const std::string& temp) {
  if (rename(temp.c_str(), target.c_str()) != 0) return false;
  // The new file is in place; syncing its directory entry only makes it
  // survive a crash, and some file systems cannot sync a directory at all.
  std::size_t slash = target.rfind('/');
  std::string directory = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    SyncFile(dir_fd);
    close(dir_fd);
  }
  return true;
}

}  // namespace

std::string LookUpProfileValue(std::string_view text, std::string_view section,
                               std::string_view key, std::string_view default_value) {
  Location loc = Find(text, Trim(section), Trim(key));
  if (loc.key_has_value) return std::string(Unquote(loc.value));
  // Windows drops trailing spaces of the default, and only spaces.
  while (default_value.ends_with(' ')) default_value.remove_suffix(1);
  return std::string(default_value);
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
  if (Trim(section).empty() && key.starts_with(kUtf8Mark)) return false;
  return key.find('=') == std::string_view::npos && !key.starts_with(';') && !key.starts_with('[');
}

std::size_t PosixProfile::GetString(const char* section, const char* key, const char* default_value,
                                    char* buffer, std::size_t size, const char* path) {
  if (buffer == nullptr || size == 0) return 0;
  // Windows lists section or key names here; nothing of ours asks for them.
  if (section == nullptr || key == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  std::string text;
  auto pending = path == nullptr ? pending_.end() : pending_.find(path);
  if (pending != pending_.end()) {
    text = pending->second.text;
  } else if (int fd =
                 path == nullptr ? -1 : open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
             fd >= 0) {
    if (!ReadRegularFile(fd, text)) text.clear();
    close(fd);
  }
  std::string value =
      LookUpProfileValue(text, section, key, default_value == nullptr ? "" : default_value);
  std::size_t n = std::min(value.size(), size - 1);
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return n;
}

bool PosixProfile::WriteString(const char* section, const char* key, const char* value,
                               const char* path) {
  if (section == nullptr && key == nullptr && value == nullptr) {
    return path == nullptr || Commit(path);
  }
  // Removing keys or sections (null value or key) is not needed by the launcher.
  if (section == nullptr || key == nullptr || value == nullptr || path == nullptr ||
      *path == '\0' || !IsStorableProfileEntry(section, key, value)) {
    return false;
  }

  auto it = pending_.find(path);
  if (it == pending_.end()) {
    Pending fresh;
    if (!ResolveTarget(path, fresh.target)) return false;
    // Opening for writing also refuses read-only files and directories, as
    // Windows does.
    int fd = open(fresh.target.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
      bool read = ReadRegularFile(fd, fresh.text);
      close(fd);
      if (!read) return false;
    } else if (errno != ENOENT) {
      return false;
    }
    // Our lines are single-byte text; added to a UTF-16 file they would ruin it.
    if (fresh.text.starts_with("\xFF\xFE") || fresh.text.starts_with("\xFE\xFF")) return false;
    it = pending_.emplace(path, std::move(fresh)).first;
  }

  Pending& p = it->second;
  std::string updated = UpdateProfileText(p.text, section, key, value);
  if (updated == p.text && p.temp.empty() && access(p.target.c_str(), F_OK) == 0) {
    pending_.erase(it);  // nothing to change
    return true;
  }
  if (!WriteTemp(p.target, p.temp, updated)) {
    Discard(path);
    return false;
  }
  p.text = std::move(updated);
  return true;
}

bool PosixProfile::Commit(const std::string& path) {
  auto it = pending_.find(path);
  if (it == pending_.end()) return true;
  bool ok = ReplaceWithTemp(it->second.target, it->second.temp);
  if (!ok) unlink(it->second.temp.c_str());
  pending_.erase(it);
  return ok;
}

// A failed write leaves the file as it was before the whole series.
void PosixProfile::Discard(const std::string& path) {
  auto it = pending_.find(path);
  if (it == pending_.end()) return;
  if (!it->second.temp.empty()) unlink(it->second.temp.c_str());
  pending_.erase(it);
}

PosixProfile::~PosixProfile() {
  while (!pending_.empty()) Commit(pending_.begin()->first);
}

}  // namespace torvinale
