#include "platform/new_file_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace torvinale {

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) close(fd_);
}

namespace {

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

std::string ReadLinkAt(int dir, const std::string& name) {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = readlinkat(dir, name.c_str(), buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
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

const std::string& WorkingFolder::Take() {
  if (taken_) return text_;
  taken_ = true;
  held_ = Descriptor(open(".", kDirectoryFlags));
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    // A vanished folder: "." names it still, never the root.
    if (errno != ERANGE) {
      text_ = ".";
      return text_;
    }
    buffer.resize(buffer.size() * 2);
  }
  text_ = buffer.data();
  return text_;
}

bool WorkingFolder::Holds(std::string_view path, std::string& name) const {
  if (!taken_ || path.size() <= text_.size() + 1 || !path.starts_with(text_) ||
      path[text_.size()] != '/') {
    return false;
  }
  path.remove_prefix(text_.size() + 1);
  if (path.find('/') != std::string_view::npos) return false;
  name = path;
  return true;
}

bool Locate(std::string_view path, Place& place, const WorkingFolder* working) {
  if (working != nullptr && working->Holds(path, place.name)) {
    place.directory = path.substr(0, path.size() - place.name.size() - 1);
    place.owned = Descriptor();
    place.dir = working->descriptor();
    return true;
  }
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
  place.owned = OpenDirectory(place.directory);
  place.dir = place.owned.get();
  return static_cast<bool>(place.owned);
}

bool LocateTarget(const std::string& path, Place& place, bool& exists,
                  const WorkingFolder* working) {
  std::string current = path;
  for (int links = 0;; ++links) {
    if (!Locate(current, place, working)) return false;
    struct stat st;
    if (fstatat(place.dir, place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      exists = false;
      return errno == ENOENT && links == 0;
    }
    exists = true;
    if (!S_ISLNK(st.st_mode)) return true;
    if (links == kMaxLinks) return false;
    std::string target = ReadLinkAt(place.dir, place.name);
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

namespace {

// A short path outside the held folder is used as it is: one call fewer.
bool UseAsItIs(const char* path, const WorkingFolder* working) {
  std::string name;
  return std::strlen(path) < kPathLimit && (working == nullptr || !working->Holds(path, name));
}

}  // namespace

bool StatForReading(const char* path, struct stat& st, const WorkingFolder* working) {
  if (UseAsItIs(path, working)) return stat(path, &st) == 0;
  Place place;
  return Locate(path, place, working) && fstatat(place.dir, place.name.c_str(), &st, 0) == 0;
}

Descriptor OpenForReading(const char* path, const WorkingFolder* working) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (UseAsItIs(path, working)) return Descriptor(open(path, kFlags));
  Place place;
  if (!Locate(path, place, working)) return Descriptor();
  return Descriptor(openat(place.dir, place.name.c_str(), kFlags));
}

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

bool StagedFile::Start(Place place, const struct stat* old, NewFileKind kind) {
  place_ = std::move(place);
  new_file_ = old == nullptr;
  return Open(new_file_ ? kind : NewFileKind::kNamed, old);
}

bool StagedFile::Open(NewFileKind kind, const struct stat* old) {
#if defined(__linux__) && defined(O_TMPFILE)
  if (kind == NewFileKind::kUnnamedWherePossible && CanNameUnnamedFiles()) {
    // Nothing to leave behind, whatever ends the process.
    file_ = Descriptor(openat(place_.dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    // Kernels and file systems without unnamed files say so in several ways.
    if (file_ || !(IsUnsupported(errno) || errno == EISDIR)) return static_cast<bool>(file_);
  }
#else
  (void)kind;
#endif
  for (unsigned attempt = 0; !file_ && attempt < kTempAttempts; ++attempt) {
    std::string name = TempName(place_.name, attempt);
    file_ = Descriptor(openat(place_.dir, name.c_str(),
                              O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0666));
    if (file_) {
      temp_ = std::move(name);
    } else if (errno != EEXIST) {
      return false;
    }
  }
  if (!file_) return false;
  if (old != nullptr) {
    // Best effort: only root may give the file back to another owner.
    [[maybe_unused]] int owner_kept = fchown(file_.get(), old->st_uid, old->st_gid);
    if (fchmod(file_.get(), old->st_mode & 07777) != 0) return false;
  }
  return true;
}

bool StagedFile::Write(std::string_view text) {
  off_t offset = 0;
  for (std::string_view rest = text; !rest.empty();) {
    ssize_t n = pwrite(file_.get(), rest.data(), rest.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
  while (ftruncate(file_.get(), offset) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Names the new file as the target only where none exists by then; one that
// appeared meanwhile is kept and the new text dropped.
bool StagedFile::PublishNewFile() {
  const int dir = place_.dir;
  if (temp_.empty()) {
    std::string self = "/proc/self/fd/" + std::to_string(file_.get());
    if (linkat(AT_FDCWD, self.c_str(), dir, place_.name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return true;
    }
    if (errno == EEXIST) return OtherFileIsThere();
    return IsUnsupported(errno) && PublishNamedInstead();
  }
  if (RenameNoReplace(dir, temp_.c_str(), place_.name.c_str()) == 0) {
    temp_.clear();
    return true;
  }
  if (errno == EEXIST) return OtherFileIsThere();
  if (!IsUnsupported(errno)) return false;
  // A second name made by a link is create-only too.
  if (linkat(dir, temp_.c_str(), dir, place_.name.c_str(), 0) == 0) return true;
  if (errno == EEXIST) return OtherFileIsThere();
  if (!IsUnsupported(errno)) return false;
  // No links either (FAT, some network shares): look, then rename.
  struct stat st;
  if (fstatat(dir, place_.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return OtherFileIsThere();
  if (errno != ENOENT || renameat(dir, temp_.c_str(), dir, place_.name.c_str()) != 0) return false;
  temp_.clear();
  return true;
}

// Some file systems and security modules refuse to link an unnamed file into
// place: its text goes into a named file, which has other ways there.
bool StagedFile::PublishNamedInstead() {
  Descriptor unnamed = std::move(file_);
  std::string text;
  struct stat st;
  // Written with pwrite only, so it is read from its start.
  return ReadRegularFile(unnamed.get(), text, st) && Open(NewFileKind::kNamed, nullptr) &&
         Write(text) && SyncFile(file_.get()) && PublishNewFile();
}

// What took the name meanwhile is read instead, if it is a file at all.
bool StagedFile::OtherFileIsThere() const {
  struct stat st;
  return fstatat(place_.dir, place_.name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode);
}

bool StagedFile::Replace() {
  if (renameat(place_.dir, temp_.c_str(), place_.dir, place_.name.c_str()) != 0) {
    return false;
  }
  temp_.clear();
  return true;
}

// The name may have been replaced since by whoever can write to the folder.
bool StagedFile::NameIsStillOurs() const {
  struct stat named, ours;
  return temp_.empty() || (fstatat(place_.dir, temp_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                           fstat(file_.get(), &ours) == 0 && named.st_dev == ours.st_dev &&
                           named.st_ino == ours.st_ino);
}

bool StagedFile::Publish() {
  if (!SyncFile(file_.get()) || !NameIsStillOurs()) return false;
  if (!(new_file_ ? PublishNewFile() : Replace())) return false;
  SyncDirectory(place_.dir);
  return true;
}

StagedFile::~StagedFile() {
  if (!temp_.empty()) unlinkat(place_.dir, temp_.c_str(), 0);
}

void EndingSignals::Hold() {
  if (holding_) return;
  sigset_t ending;
  sigfillset(&ending);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&ending, sig);
  holding_ = pthread_sigmask(SIG_BLOCK, &ending, &saved_mask_) == 0;
}

void EndingSignals::Release() {
  if (!holding_) return;
  holding_ = false;
  pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
}

}  // namespace torvinale
