// The file side of our profile functions: folders reached by descriptor,
// files read whole, and staged files that reach their place in one step, so
// that a run ended at any moment leaves the old file or the whole new one.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <string_view>
#include <utility>

namespace torvinale {

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  ~Descriptor();
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The process's working folder, held by a descriptor from the moment it is
// taken: a file named in it by the folder's text keeps meaning that folder,
// whatever the text comes to lead to (a mount over a folder above it) and
// whether or not the folders above it may be searched.
class WorkingFolder {
 public:
  // The folder's text as the system gives it, or "." when it gives none;
  // taken at the first call, the same at every later one.
  const std::string& Take();
  // The held folder, or AT_FDCWD (names relative to the working folder) when
  // it could not be held or was never taken.
  int descriptor() const { return held_ ? held_.get() : AT_FDCWD; }
  // The name in path when path is a file directly in the folder, named by
  // the folder's text as Take gave it.
  bool Holds(std::string_view path, std::string& name) const;

 private:
  bool taken_ = false;
  std::string text_;
  Descriptor held_;
};

// A file as its folder's descriptor and its name there.
struct Place {
  std::string directory;  // as text, for relative links
  Descriptor owned;       // the folder, when opened for this place alone
  int dir = -1;
  std::string name;
};

// The folder of path and the name in it: the held working folder where path
// names a file in it, otherwise the folder the path leads to now. Paths
// longer than the system's limit are walked a piece at a time.
bool Locate(std::string_view path, Place& place, const WorkingFolder* working);

// The file a write replaces: symbolic links are followed so that they stay,
// but a dangling one is refused rather than replaced by a file.
bool LocateTarget(const std::string& path, Place& place, bool& exists,
                  const WorkingFolder* working);

bool StatForReading(const char* path, struct stat& st, const WorkingFolder* working);
Descriptor OpenForReading(const char* path, const WorkingFolder* working);

// Only regular files are read: a FIFO or device must neither block the reader
// nor stream forever. st describes the file read.
bool ReadRegularFile(int fd, std::string& text, struct stat& st);

const timespec& ModificationTime(const struct stat& st);

// How a new file is made: unnamed until it is in place where the system
// allows it, or under a name of its own beside its target.
enum class NewFileKind { kUnnamedWherePossible, kNamed };

// A file made beside its target and held open until it is put in place, so
// that it is never reopened through a name that someone else may have swapped.
class StagedFile {
 public:
  StagedFile() = default;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  // A named file that was never put in place is removed.
  ~StagedFile();

  // A file in the folder of place, for replacing the file described by old
  // (taking its mode and, where allowed, its owner), or, without old, a new
  // file: one that must only ever be created.
  bool Start(Place place, const struct stat* old, NewFileKind kind);
  // The whole text, from the start of the file.
  bool Write(std::string_view text);
  // Syncs the file and puts it in place. A new file never replaces one: a
  // file that took its name meanwhile is kept (success).
  bool Publish();

 private:
  bool Open(NewFileKind kind, const struct stat* old);
  bool PublishNewFile();
  bool PublishNamedInstead();
  bool OtherFileIsThere() const;
  bool Replace();
  bool NameIsStillOurs() const;

  Place place_;
  Descriptor file_;
  std::string temp_;       // the file's name, empty while it has none
  bool new_file_ = false;  // there was no file: never replace one
};

// While held, every signal that would end the process waits, and takes
// effect at the release. Faults of our own (SIGSEGV and the like) cannot wait.
class EndingSignals {
 public:
  void Hold();
  void Release();

 private:
  bool holding_ = false;
  sigset_t saved_mask_{};
};

}  // namespace torvinale
