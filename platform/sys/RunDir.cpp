#include "platform/sys/RunDir.h"

#include <unistd.h>

#include <climits>
#include <mutex>

namespace platform {
namespace {

std::mutex gMutex;
std::string gOverride;

std::string ProgramDirectory() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string RunDirectoryPath() {
  {
    std::lock_guard lock(gMutex);
    if (!gOverride.empty()) return gOverride;
  }
  static const std::string dir = ProgramDirectory();
  return dir;
}

text::Text RunDirectory() { return FromFsPath(RunDirectoryPath()); }

bool EnterRunDirectory() { return chdir(RunDirectoryPath().c_str()) == 0; }

text::Text InRunDirectory(std::string_view gbkName) {
  text::Text dir = RunDirectory();
  if (dir.empty() || dir.back() != '/') dir += '/';
  dir.append(gbkName);
  return dir;
}

void OverrideRunDirectory(const std::string& path) {
  std::lock_guard lock(gMutex);
  gOverride = path;
  while (gOverride.size() > 1 && gOverride.back() == '/') gOverride.pop_back();
}

std::string ToFsPath(std::string_view gbk) { return text::ToUtf8(gbk); }
text::Text FromFsPath(std::string_view fsPath) { return text::FromUtf8(fsPath); }

}  // namespace platform
