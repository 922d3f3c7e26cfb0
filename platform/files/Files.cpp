#include "platform/files/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <memory>

#include "platform/sys/RunDir.h"
#include "platform/thread/Thread.h"

namespace platform {
namespace {

std::atomic<int (*)(file_faults::Step)> gFaultHook{nullptr};

// True when the test hook fails `step`; errno is then set as the hook says.
bool Faulted(file_faults::Step step) {
  auto hook = gFaultHook.load(std::memory_order_acquire);
  if (!hook) return false;
  int error = hook(step);
  if (error == 0) return false;
  errno = error;
  return true;
}

std::string DirectoryOf(const std::string& fsPath) {
  auto slash = fsPath.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return fsPath.substr(0, slash);
}

std::string NameOf(const std::string& fsPath) {
  auto slash = fsPath.rfind('/');
  return slash == std::string::npos ? fsPath : fsPath.substr(slash + 1);
}

// Makes a rename in `dir` durable.
void SyncDirectory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes the concatenation of `pieces`, leaving out its first `skip` bytes,
// at `offset` of `fd`.
bool WriteAllAt(int fd, std::initializer_list<std::string_view> pieces, std::size_t skip,
                off_t offset, file_faults::Step step) {
  if (Faulted(step)) return false;
  for (std::string_view piece : pieces) {
    if (skip >= piece.size()) {
      skip -= piece.size();
      continue;
    }
    piece.remove_prefix(skip);
    skip = 0;
    while (!piece.empty()) {
      ssize_t n = pwrite(fd, piece.data(), piece.size(), offset);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      piece.remove_prefix(static_cast<std::size_t>(n));
      offset += n;
    }
  }
  return true;
}

bool ReadAll(int fd, std::size_t sizeHint, std::string& out) {
  if (Faulted(file_faults::Step::kReadOld)) return false;
  out.clear();
  out.reserve(sizeHint);
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
}

// Opens the temporary file for `target`, removing one that an earlier,
// interrupted change left behind.
int CreateTemp(const std::string& target, mode_t mode) {
  std::string temp = TempPathFor(target);
  unlink(temp.c_str());
  if (Faulted(file_faults::Step::kCreateTemp)) return -1;
  return open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
}

void DropTemp(int fd, const std::string& target) {
  close(fd);
  unlink(TempPathFor(target).c_str());
}

}  // namespace

std::string TempPathFor(const std::string& fsPath) {
  auto slash = fsPath.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : fsPath.substr(0, slash + 1);
  return dir + "." + NameOf(fsPath) + ".tmp";
}

namespace file_faults {
void SetHook(int (*hook)(Step)) { gFaultHook.store(hook, std::memory_order_release); }
}  // namespace file_faults

FoundFile FindFile(std::string_view path) {
  CheckEnd();
  std::string fsPath = ToFsPath(path);
  std::string pattern = NameOf(fsPath);
  if (pattern.empty()) return {};

  if (pattern.find_first_of("*?") == std::string::npos) {
    struct stat st;
    if (stat(fsPath.c_str(), &st) != 0) {
      // Only a name that is not there is absent; any other failure (a
      // permission, a full table, an I/O error) leaves the question open.
      if (errno == ENOENT || errno == ENOTDIR) return {};
      return {FindResult::kFailed, {}};
    }
    if (S_ISDIR(st.st_mode)) return {};
    return {FindResult::kFound, FromFsPath(pattern)};
  }

  std::string dir = DirectoryOf(fsPath);
  std::unique_ptr<DIR, int (*)(DIR*)> entries(opendir(dir.c_str()), closedir);
  if (!entries) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return {FindResult::kFailed, {}};
  }
  for (;;) {
    errno = 0;
    dirent* entry = readdir(entries.get());
    if (!entry) {
      if (errno != 0) return {FindResult::kFailed, {}};
      return {};
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (fnmatch(pattern.c_str(), entry->d_name, 0) != 0) continue;
    struct stat st;
    if (fstatat(dirfd(entries.get()), entry->d_name, &st, 0) != 0) {
      if (errno == ENOENT) continue;  // gone meanwhile
      return {FindResult::kFailed, {}};
    }
    if (S_ISDIR(st.st_mode)) continue;
    return {FindResult::kFound, FromFsPath(name)};
  }
}

bool CreateNewFile(std::string_view path, const text::Bytes& bytes) {
  CheckEnd();
  std::string target = ToFsPath(path);
  if (NameOf(target).empty()) return false;
  if (bytes.empty()) {
    // An empty file is whole from the start, so no temporary file: the
    // temporary name may belong to another program's insert under way,
    // which holds the lock of the file but not of that name.
    int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return false;
    close(fd);
    SyncDirectory(DirectoryOf(target));
    return true;
  }
  int fd = CreateTemp(target, 0666);
  if (fd < 0) return false;
  std::string_view content(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!WriteAllAt(fd, {content}, 0, 0, file_faults::Step::kWriteTemp) ||
      Faulted(file_faults::Step::kSyncTemp) || fsync(fd) != 0) {
    DropTemp(fd, target);
    return false;
  }
  // link() fails when the name exists: an existing file is never replaced.
  std::string temp = TempPathFor(target);
  bool made = !Faulted(file_faults::Step::kRename) && link(temp.c_str(), target.c_str()) == 0;
  bool noLinks = !made && (errno == EPERM || errno == ENOTSUP || errno == EMLINK);
  DropTemp(fd, target);
  if (noLinks) {
    // A file system without hard links: create the name itself, exclusively.
    fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return false;
    made = WriteAllAt(fd, {content}, 0, 0, file_faults::Step::kWriteTemp) && fsync(fd) == 0;
    close(fd);
    if (!made) unlink(target.c_str());
  }
  if (made) SyncDirectory(DirectoryOf(target));
  return made;
}

bool WriteFile(std::string_view path, const text::Bytes& bytes) {
  CheckEnd();
  std::string_view content(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  for (int attempt = 0; attempt < 2; ++attempt) {
    File file = File::OpenForUpdate(path);
    if (file) return file.Rewrite({content}, 0);
    struct stat st;
    if (lstat(ToFsPath(path).c_str(), &st) == 0 || errno != ENOENT) return false;
    if (CreateNewFile(path, bytes)) return true;
  }
  return false;
}

File File::OpenForUpdate(std::string_view path) {
  CheckEnd();
  std::string fsPath = ToFsPath(path);
  // Another program's replacement may slip in between the open and the
  // lock; then the name holds a newer file than the one locked. Try again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    char resolved[PATH_MAX];
    if (!realpath(fsPath.c_str(), resolved)) return {};
    int fd = open(resolved, O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return {};
    struct stat st, named;
    // No write permission bit at all marks a file read-only for every user,
    // as the read-only attribute does; root would otherwise write to it.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0 ||
        flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      return {};
    }
    if (stat(resolved, &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino) {
      File file;
      file.fd_ = fd;
      file.target_ = resolved;
      return file;
    }
    close(fd);
  }
  return {};
}

File::File(File&& other) noexcept
    : fd_(other.fd_), target_(std::move(other.target_)), position_(other.position_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    target_ = std::move(other.target_);
    position_ = other.position_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() { Close(); }

void File::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool File::InsertLine(std::string_view line) {
  CheckEnd();
  if (fd_ < 0) return false;
  struct stat st;
  if (fstat(fd_, &st) != 0) return false;
  std::string old;
  if (!ReadAll(fd_, static_cast<std::size_t>(st.st_size), old)) return false;
  std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(position_), old.size());
  std::string_view before(old.data(), at), after(old.data() + at, old.size() - at);
  if (!Rewrite({before, line, "\r\n", after}, at)) return false;
  position_ = static_cast<std::int64_t>(at + line.size() + 2);
  return true;
}

bool File::Rewrite(std::initializer_list<std::string_view> pieces, std::size_t unchanged) {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
  std::size_t total = 0;
  for (auto piece : pieces) total += piece.size();

  // Overwriting in place is the fallback for a file that a replacement would
  // change in other ways: one with other names (hard links), one whose owner
  // cannot be kept, one in a directory we may not write to.
  auto inPlace = [&] {
    if (!WriteAllAt(fd_, pieces, unchanged, static_cast<off_t>(unchanged),
                    file_faults::Step::kWriteTemp) ||
        ftruncate(fd_, static_cast<off_t>(total)) != 0) {
      return false;
    }
    fsync(fd_);
    return true;
  };
  if (st.st_nlink > 1) {
    // A create killed between its link and its clean-up leaves the temporary
    // name as a second link to the file; it is no link to keep.
    std::string temp = TempPathFor(target_);
    struct stat left;
    if (lstat(temp.c_str(), &left) == 0 && left.st_dev == st.st_dev && left.st_ino == st.st_ino &&
        unlink(temp.c_str()) == 0) {
      --st.st_nlink;
    }
  }
  if (st.st_nlink > 1) return inPlace();

  int temp = CreateTemp(target_, 0600);
  if (temp < 0) return (errno == EACCES || errno == EPERM) ? inPlace() : false;
  flock(temp, LOCK_EX | LOCK_NB);  // a new file: holds the lock once it is the file
  if (!WriteAllAt(temp, pieces, 0, 0, file_faults::Step::kWriteTemp)) {
    DropTemp(temp, target_);
    return false;
  }
  struct stat made;
  if (fstat(temp, &made) != 0 || fchmod(temp, st.st_mode & 07777) != 0) {
    DropTemp(temp, target_);
    return false;
  }
  if ((made.st_uid != st.st_uid || made.st_gid != st.st_gid) &&
      fchown(temp, st.st_uid, st.st_gid) != 0) {
    DropTemp(temp, target_);
    return inPlace();
  }
  // fchown may clear set-user-ID bits; put the mode back.
  if ((st.st_mode & 06000) != 0) fchmod(temp, st.st_mode & 07777);
  if (Faulted(file_faults::Step::kSyncTemp) || fsync(temp) != 0 ||
      Faulted(file_faults::Step::kRename) ||
      rename(TempPathFor(target_).c_str(), target_.c_str()) != 0) {
    DropTemp(temp, target_);
    return false;
  }
  SyncDirectory(DirectoryOf(target_));
  close(fd_);
  fd_ = temp;
  return true;
}

}  // namespace platform
