#pragma once
// File services for the alert log. Paths are GBK texts. Every change to an
// existing file is all or nothing: the new content goes to a temporary file
// beside it, which then replaces the file in one rename, so a crash or a
// kill never leaves a half-written file behind.
//
// As every platform call, each of these throws ThreadEnded when the calling
// worker's end was requested; a change already under way is finished first.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/text/Text.h"

namespace platform {

enum class FindResult {
  kFound,
  kAbsent,  // no such entry, or only directories match
  kFailed,  // the search could not tell, e.g. a directory that cannot be read
};

struct FoundFile {
  FindResult result = FindResult::kAbsent;
  text::Text name;  // the matching entry's name, without its directory
};

// The first entry that matches `path` and is not a directory. The last part
// of the path may hold the wildcards * and ?.
FoundFile FindFile(std::string_view path);

// Creates the file, or replaces an existing one, with `bytes`. An existing
// file is replaced only when it could be opened for writing (see File); its
// mode and owner stay. False when nothing was written.
bool WriteFile(std::string_view path, const text::Bytes& bytes);

// Creates the file with `bytes` only when no entry of that name exists; an
// existing file is never touched (false).
bool CreateNewFile(std::string_view path, const text::Bytes& bytes);

// An existing regular file opened for reading and writing, with a read/write
// position that starts at 0. It cannot be opened when it is read-only (no
// write permission bit at all counts as read-only, for every user), when it
// is locked by another program (an exclusive flock), or when it is not a
// regular file. An unopened File ignores every call.
class File {
 public:
  File() = default;
  static File OpenForUpdate(std::string_view path);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  explicit operator bool() const { return fd_ >= 0; }
  std::int64_t Position() const { return position_; }

  // Inserts `line` and CR LF at the position, moving the rest of the file
  // down, and leaves the position after them. The file then holds either
  // all of the change or none of it, whenever the process dies.
  bool InsertLine(std::string_view line);

  void Close();

 private:
  friend bool WriteFile(std::string_view path, const text::Bytes& bytes);
  // Makes the file the concatenation of `pieces`, whose first `unchanged`
  // bytes are those the file already starts with.
  bool Rewrite(std::initializer_list<std::string_view> pieces, std::size_t unchanged);

  int fd_ = -1;
  std::string target_;  // the file system path of the file itself (links resolved)
  std::int64_t position_ = 0;
};

// Steps of a change that a test can make fail (a seam). The hook returns
// the errno to fail the step with, or 0 to let it run.
namespace file_faults {
enum class Step { kReadOld, kCreateTemp, kWriteTemp, kSyncTemp, kRename };
void SetHook(int (*hook)(Step));  // nullptr: no faults
}  // namespace file_faults

// The temporary file that a change of the file at `fsPath` goes through (a
// hidden name beside it). Exposed so tests can look for leftovers.
std::string TempPathFor(const std::string& fsPath);

}  // namespace platform
