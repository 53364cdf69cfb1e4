#include "platform/profile_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

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

struct SectionStart {
  bool found = false;
  std::size_t body = 0;
  bool needs_line_end = false;  // the header is the last line, without a line end
};

// Where the body of the first matching section starts.
SectionStart FindSection(std::string_view text, std::string_view section) {
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
Location FindIn(std::string_view text, const SectionStart& start, std::string_view key) {
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

// --- Files ---

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A file as its folder's descriptor and its name there.
struct Place {
  std::string directory;  // as text, for relative links
  Descriptor dir;
  std::string name;
};

#ifdef PATH_MAX
constexpr std::size_t kPathLimit = PATH_MAX;
#else
constexpr std::size_t kPathLimit = 1024;
#endif
// As many links as the system itself follows in one path.
constexpr int kMaxLinks = 40;
constexpr int kTempAttempts = 100;

// Enough to reach files through, without needing to list the folder.
#if defined(O_PATH)
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kDirectoryFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// A path is taken a piece shorter than the system's limit at a time, so that
// a folder of any depth can be reached.
Descriptor OpenDirectory(std::string_view path) {
  Descriptor current;
  int at = AT_FDCWD;
  while (path.size() >= kPathLimit) {
    std::size_t cut = path.rfind('/', kPathLimit - 1);
    if (cut == std::string_view::npos || cut == 0) {
      errno = ENAMETOOLONG;
      return Descriptor();
    }
    Descriptor next(openat(at, std::string(path.substr(0, cut)).c_str(), kDirectoryFlags));
    if (!next) return next;
    current = std::move(next);
    at = current.get();
    path.remove_prefix(cut + 1);
    while (path.starts_with('/')) path.remove_prefix(1);
    if (path.empty()) return current;
  }
  return Descriptor(openat(at, std::string(path).c_str(), kDirectoryFlags));
}

bool Locate(std::string_view path, Place& place) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    place.directory = ".";
    place.name = path;
  } else {
    place.directory = slash == 0 ? "/" : path.substr(0, slash);
    place.name = path.substr(slash + 1);
  }
  if (place.name.empty()) {
    errno = EISDIR;
    return false;
  }
  place.dir = OpenDirectory(place.directory);
  return static_cast<bool>(place.dir);
}

std::string ReadLinkAt(int dir, const std::string& name) {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = readlinkat(dir, name.c_str(), buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

// The file a write replaces: symbolic links are followed so that they stay,
// but a dangling one is refused rather than replaced by a file.
bool LocateTarget(const std::string& path, Place& place, bool& exists) {
  std::string current = path;
  for (int links = 0;; ++links) {
    if (!Locate(current, place)) return false;
    struct stat st;
    if (fstatat(place.dir.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      exists = false;
      return errno == ENOENT && links == 0;
    }
    exists = true;
    if (!S_ISLNK(st.st_mode)) return true;
    if (links == kMaxLinks) return false;
    std::string target = ReadLinkAt(place.dir.get(), place.name);
    if (target.empty()) return false;
    current = target[0] == '/' ? target : place.directory + "/" + target;
  }
}

const timespec& ModificationTime(const struct stat& st) {
#ifdef __APPLE__
  return st.st_mtimespec;
#else
  return st.st_mtim;
#endif
}

bool StatForReading(const char* path, struct stat& st) {
  if (std::strlen(path) < kPathLimit) return stat(path, &st) == 0;
  Place place;
  return Locate(path, place) && fstatat(place.dir.get(), place.name.c_str(), &st, 0) == 0;
}

Descriptor OpenForReading(const char* path) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (std::strlen(path) < kPathLimit) return Descriptor(open(path, kFlags));
  Place place;
  if (!Locate(path, place)) return Descriptor();
  return Descriptor(openat(place.dir.get(), place.name.c_str(), kFlags));
}

// A FIFO or device must neither block the reader nor stream forever, so only
// regular files are read.
bool ReadRegularFile(int fd, std::string& text, struct stat& st) {
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

bool Rewrite(int fd, std::string_view text) {
  off_t offset = 0;
  for (std::string_view rest = text; !rest.empty();) {
    ssize_t n = pwrite(fd, rest.data(), rest.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
  while (ftruncate(fd, offset) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool SyncFile(int fd) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Only makes the new name survive a crash; some file systems cannot sync a
// directory at all.
void SyncDirectory(int dir) {
  Descriptor fd(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) SyncFile(fd.get());
}

std::string TempName(std::string_view base, unsigned attempt) {
  static unsigned counter = 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%lx.%x.%lx.tmp", static_cast<unsigned long>(getpid()),
                counter++ + attempt, static_cast<unsigned long>(now.tv_nsec));
  // Kept short so that the name stays within the file system's limit.
  return "." + std::string(base.substr(0, 64)) + suffix;
}

// An unnamed file is given its name through /proc, where there is one.
bool CanNameUnnamedFiles() {
#if defined(__linux__) && defined(O_TMPFILE)
  static const bool can = access("/proc/self/fd", X_OK) == 0;
  return can;
#else
  return false;
#endif
}

int RenameNoReplace(int dir, const char* from, const char* to) {
#if defined(__linux__) && defined(SYS_renameat2)
  constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
  return static_cast<int>(syscall(SYS_renameat2, dir, from, dir, to, kNoReplace));
#elif defined(__APPLE__) && defined(RENAME_EXCL)
  return renameatx_np(dir, from, dir, to, RENAME_EXCL);
#else
  (void)dir, (void)from, (void)to;
  errno = ENOSYS;
  return -1;
#endif
}

bool IsUnsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP ||
         error == EPERM || error == EMLINK;
}

}  // namespace

// The last file read, kept while its identity on disk is the same, so that a
// run of reads from one large file reads and scans it once.
struct PosixProfile::ReadCache {
  std::string path;
  struct stat identity;
  std::string text;
  mutable std::map<std::string, SectionStart> sections;  // by name in lower case

  bool StillHolds(const struct stat& st) const {
    const timespec &now = ModificationTime(st), &then = ModificationTime(identity);
    return st.st_dev == identity.st_dev && st.st_ino == identity.st_ino &&
           st.st_size == identity.st_size && now.tv_sec == then.tv_sec &&
           now.tv_nsec == then.tv_nsec;
  }

  const SectionStart& Section(std::string_view name) const {
    std::string folded(name);
    std::transform(folded.begin(), folded.end(), folded.begin(), AsciiLower);
    auto it = sections.find(folded);
    if (it == sections.end()) it = sections.emplace(folded, FindSection(text, name)).first;
    return it->second;
  }
};

// The new text of a file, in a file of its own beside it until the flush.
struct PosixProfile::Series {
  Place place;
  Descriptor file;
  std::string temp;     // the file's name, empty while it has none
  bool create = false;  // there was no file: the flush must not replace one
  std::string text;

  // A new file in the target's folder, unnamed where the system allows; a
  // replacement takes the mode and, where allowed, the owner of the old file.
  bool Start(const struct stat* old, bool unnamed) {
#if defined(__linux__) && defined(O_TMPFILE)
    if (old == nullptr && unnamed && CanNameUnnamedFiles()) {
      // Nothing to leave behind, whatever ends the process.
      file = Descriptor(openat(place.dir.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
      if (file) return true;
    }
#endif
    for (unsigned attempt = 0; !file && attempt < kTempAttempts; ++attempt) {
      std::string name = TempName(place.name, attempt);
      file =
          Descriptor(openat(place.dir.get(), name.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666));
      if (file) {
        temp = std::move(name);
      } else if (errno != EEXIST) {
        return false;
      }
    }
    if (!file) return false;
    if (old != nullptr) {
      // Best effort: only root may give the file back to another owner.
      [[maybe_unused]] int owner_kept = fchown(file.get(), old->st_uid, old->st_gid);
      if (fchmod(file.get(), old->st_mode & 07777) != 0) return false;
    }
    return true;
  }

  // Names the new file as the target only where none exists by then; one that
  // appeared meanwhile is kept and the new text dropped.
  bool PublishNew() {
    const int dir = place.dir.get();
    if (temp.empty()) {
      std::string self = "/proc/self/fd/" + std::to_string(file.get());
      if (linkat(AT_FDCWD, self.c_str(), dir, place.name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
      }
      return errno == EEXIST && OtherFileIsThere();
    }
    if (RenameNoReplace(dir, temp.c_str(), place.name.c_str()) == 0) {
      temp.clear();
      return true;
    }
    if (errno == EEXIST) return OtherFileIsThere();
    if (!IsUnsupported(errno)) return false;
    // A second name made by a link is create-only too.
    if (linkat(dir, temp.c_str(), dir, place.name.c_str(), 0) == 0) return true;
    if (errno == EEXIST) return OtherFileIsThere();
    if (!IsUnsupported(errno)) return false;
    // No links either (FAT, some network shares): look, then rename.
    struct stat st;
    if (fstatat(dir, place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return OtherFileIsThere();
    if (errno != ENOENT || renameat(dir, temp.c_str(), dir, place.name.c_str()) != 0) return false;
    temp.clear();
    return true;
  }

  // What took the name meanwhile is read instead, if it is a file at all.
  bool OtherFileIsThere() const {
    struct stat st;
    return fstatat(place.dir.get(), place.name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode);
  }

  bool Replace() {
    if (renameat(place.dir.get(), temp.c_str(), place.dir.get(), place.name.c_str()) != 0) {
      return false;
    }
    temp.clear();
    return true;
  }

  // The name may have been replaced since by whoever can write to the folder.
  bool NameIsStillOurs() const {
    struct stat named, ours;
    return temp.empty() ||
           (fstatat(place.dir.get(), temp.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            fstat(file.get(), &ours) == 0 && named.st_dev == ours.st_dev &&
            named.st_ino == ours.st_ino);
  }

  bool Publish() {
    if (!SyncFile(file.get()) || !NameIsStillOurs()) return false;
    if (!(create ? PublishNew() : Replace())) return false;
    SyncDirectory(place.dir.get());
    return true;
  }

  ~Series() {
    if (!temp.empty()) unlinkat(place.dir.get(), temp.c_str(), 0);
  }
};

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
  std::string_view section_name = Trim(section);
  Location loc;
  auto pending = path == nullptr ? pending_.end() : pending_.find(path);
  if (pending != pending_.end()) {
    loc = Find(pending->second->text, section_name, Trim(key));
  } else if (const ReadCache* file = path == nullptr ? nullptr : Read(path)) {
    loc = FindIn(file->text, file->Section(section_name), Trim(key));
  }
  std::string value = ValueOrDefault(loc, default_value == nullptr ? "" : default_value);
  std::size_t n = std::min(value.size(), size - 1);
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return n;
}

const PosixProfile::ReadCache* PosixProfile::Read(const char* path) {
  struct stat st;
  if (cache_ && cache_->path == path && StatForReading(path, st) && cache_->StillHolds(st)) {
    return cache_.get();
  }
  cache_.reset();
  Descriptor fd = OpenForReading(path);
  auto file = std::make_unique<ReadCache>();
  if (!fd || !ReadRegularFile(fd.get(), file->text, file->identity)) return nullptr;
  file->path = path;
  cache_ = std::move(file);
  return cache_.get();
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
    auto series = std::make_unique<Series>();
    bool exists = false;
    if (!LocateTarget(path, series->place, exists)) return false;
    struct stat old;
    if (exists) {
      // Opening for writing also refuses read-only files and directories, as
      // Windows does.
      Descriptor fd(openat(series->place.dir.get(), series->place.name.c_str(),
                           O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
      if (!fd || !ReadRegularFile(fd.get(), series->text, old)) return false;
    }
    // Our lines are single-byte text; added to a UTF-16 file they would ruin it.
    if (series->text.starts_with("\xFF\xFE") || series->text.starts_with("\xFE\xFF")) return false;
    if (exists && UpdateProfileText(series->text, section, key, value) == series->text) {
      return true;  // nothing to change
    }
    series->create = !exists;
    HoldSignals();
    if (!series->Start(exists ? &old : nullptr, new_files_ == NewFiles::kUnnamedWherePossible)) {
      series.reset();  // its temporary name goes while signals are still held
      ReleaseSignals();
      return false;
    }
    it = pending_.emplace(path, std::move(series)).first;
  }

  Series& s = *it->second;
  std::string updated = UpdateProfileText(s.text, section, key, value);
  if (!Rewrite(s.file.get(), updated)) {
    End(it);
    return false;
  }
  s.text = std::move(updated);
  return true;
}

bool PosixProfile::Commit(const std::string& path) {
  auto it = pending_.find(path);
  if (it == pending_.end()) return true;
  cache_.reset();
  bool ok = it->second->Publish();
  End(it);
  return ok;
}

// Whatever was not published is dropped: the file stays as it was before the
// whole series.
void PosixProfile::End(SeriesMap::iterator it) {
  pending_.erase(it);
  ReleaseSignals();
}

// A signal that would end the process waits until the series is in the file
// or dropped, so that it leaves the old file or the whole new one and no
// temporary file.
void PosixProfile::HoldSignals() {
  if (holding_) return;
  sigset_t ending;
  sigemptyset(&ending);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&ending, sig);
  holding_ = pthread_sigmask(SIG_BLOCK, &ending, &saved_mask_) == 0;
}

void PosixProfile::ReleaseSignals() {
  if (!holding_ || !pending_.empty()) return;
  holding_ = false;
  pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
}

PosixProfile::PosixProfile(NewFiles new_files) : new_files_(new_files) {}

PosixProfile::~PosixProfile() {
  while (!pending_.empty()) Commit(pending_.begin()->first);
}

}  // namespace torvinale
