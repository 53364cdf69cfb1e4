#include "platform/profile_posix.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/profile_text.h"

namespace torvinale {

// The last file read, kept while its identity on disk is the same, so that a
// run of reads from one large file reads and scans it once.
struct PosixProfile::ReadCache {
  std::string path;
  struct stat identity;
  std::string text;
  mutable std::map<std::string, ProfileSection, std::less<>> sections;  // by name as asked

  bool StillHolds(const struct stat& st) const {
    const timespec &now = ModificationTime(st), &then = ModificationTime(identity);
    return st.st_dev == identity.st_dev && st.st_ino == identity.st_ino &&
           st.st_size == identity.st_size && now.tv_sec == then.tv_sec &&
           now.tv_nsec == then.tv_nsec;
  }

  const ProfileSection& Section(std::string_view name) const {
    auto it = sections.find(name);
    if (it == sections.end()) {
      it = sections.emplace(std::string(name), FindProfileSection(text, name)).first;
    }
    return it->second;
  }
};

// The new text of a file, in a file of its own beside it until the flush.
struct PosixProfile::Series {
  StagedFile file;
  std::string text;
};

std::size_t PosixProfile::GetString(const char* section, const char* key, const char* default_value,
                                    char* buffer, std::size_t size, const char* path) {
  if (buffer == nullptr || size == 0) return 0;
  // Windows lists section or key names here; nothing of ours asks for them.
  if (section == nullptr || key == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  const std::string_view fallback = default_value == nullptr ? "" : default_value;
  std::string value;
  auto pending = path == nullptr ? pending_.end() : pending_.find(path);
  if (pending != pending_.end()) {
    value = LookUpProfileValue(pending->second->text, section, key, fallback);
  } else if (const ReadCache* file = path == nullptr ? nullptr : Read(path)) {
    value = LookUpProfileValueIn(file->text, file->Section(section), key, fallback);
  } else {
    value = LookUpProfileValueIn("", ProfileSection{}, key, fallback);
  }
  std::size_t n = std::min(value.size(), size - 1);
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return n;
}

const PosixProfile::ReadCache* PosixProfile::Read(const char* path) {
  struct stat st;
  if (cache_ && cache_->path == path && StatForReading(path, st, working_) &&
      cache_->StillHolds(st)) {
    return cache_.get();
  }
  cache_.reset();
  Descriptor fd = OpenForReading(path, working_);
  auto file = std::make_unique<ReadCache>();
  if (!fd || !ReadRegularFile(fd.get(), file->text, file->identity)) return nullptr;
  file->text = ReadableProfileText(std::move(file->text));
  file->path = path;
  cache_ = std::move(file);
  return cache_.get();
}

// A series that changes a file starts from its text; one that makes a new
// file starts empty, whatever is there now.
std::unique_ptr<PosixProfile::Series> PosixProfile::Begin(const char* path, const char* section,
                                                          const char* key, const char* value,
                                                          bool& unchanged) {
  auto series = std::make_unique<Series>();
  Place place;
  const bool new_file = new_files_.contains(path);
  bool exists = false;
  if (!(new_file ? Locate(path, place, working_) : LocateTarget(path, place, exists, working_))) {
    return nullptr;
  }
  struct stat old;
  if (exists) {
    // Opening for writing also refuses read-only files and directories, as
    // Windows does.
    Descriptor fd(openat(place.dir, place.name.c_str(),
                         O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    if (!fd || !ReadRegularFile(fd.get(), series->text, old)) return nullptr;
    if (IsUtf16ProfileText(series->text)) return nullptr;
    unchanged = UpdateProfileText(series->text, section, key, value) == series->text;
    if (unchanged) return nullptr;
  }
  signals_.Hold();
  if (!series->file.Start(std::move(place), exists ? &old : nullptr, new_file_kind_)) {
    series.reset();  // its temporary name goes while signals are still held
    if (pending_.empty()) signals_.Release();
  }
  return series;
}

bool PosixProfile::WriteString(const char* section, const char* key, const char* value,
                               const char* path) {
  if (section == nullptr && key == nullptr && value == nullptr) {
    return path == nullptr || Flush(path);
  }
  // Removing keys or sections (null value or key) is not needed by the launcher.
  if (section == nullptr || key == nullptr || value == nullptr || path == nullptr ||
      *path == '\0' || !IsStorableProfileEntry(section, key, value)) {
    return false;
  }

  auto it = pending_.find(path);
  if (it == pending_.end()) {
    bool unchanged = false;
    std::unique_ptr<Series> series = Begin(path, section, key, value, unchanged);
    if (!series) return unchanged;  // nothing to change, or a failure
    it = pending_.emplace(path, std::move(series)).first;
  }

  Series& s = *it->second;
  std::string updated = UpdateProfileText(s.text, section, key, value);
  if (!s.file.Write(updated)) {
    End(it);
    return false;
  }
  s.text = std::move(updated);
  return true;
}

void PosixProfile::StartNewFile(const char* path) {
  if (path != nullptr) new_files_.emplace(path);
}

void PosixProfile::Discard(const char* path) {
  if (path == nullptr) return;
  auto it = pending_.find(path);
  if (it != pending_.end()) End(it);
  new_files_.erase(std::string(path));
}

bool PosixProfile::Flush(const std::string& path) {
  new_files_.erase(path);
  auto it = pending_.find(path);
  if (it == pending_.end()) return true;
  cache_.reset();
  bool ok = it->second->file.Publish();
  End(it);
  return ok;
}

// Whatever was not published is dropped: the file stays as it was before the
// whole series. A signal that would end the process waits until then, so that
// it leaves the old file or the whole new one and no temporary file.
void PosixProfile::End(SeriesMap::iterator it) {
  pending_.erase(it);
  if (pending_.empty()) signals_.Release();
}

PosixProfile::PosixProfile(const WorkingFolder* working, NewFileKind new_file_kind)
    : working_(working), new_file_kind_(new_file_kind) {}

// Series never flushed are dropped, as a discard drops them.
PosixProfile::~PosixProfile() {
  pending_.clear();
  signals_.Release();
}

}  // namespace torvinale
