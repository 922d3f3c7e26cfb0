// File services of the alert log: the search, creating and writing, and the
// line insert with its failure behaviour.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "platform/files/Files.h"
#include "platform/sys/RunDir.h"
#include "tests/files/TempDir.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());  // zero bytes and CR LF included
  return s;
}

// GBK path of a file in `dir`.
text::Text Gbk(const std::string& fsPath) { return FromFsPath(fsPath); }

class Files : public ::testing::Test {
 protected:
  TempDir dir;
  std::string log = dir / "Warning.txt";
  std::string temp = TempPathFor(dir / "Warning.txt");
};

}  // namespace

TEST_F(Files, SearchFindsFilesAndIgnoresDirectories) {
  WriteBytes(dir / "b.txt", "x");
  fs::create_directory(dir / "a.txt");
  fs::create_directory(dir / "Warning.txt");
  std::string gbkName = ToFsPath(text::FromUtf8("日志.log"));
  WriteBytes(dir / gbkName, "x");
  struct Row {
    std::string path;
    FindResult result;
    std::string name;  // UTF-8
  } rows[] = {
      {dir / "b.txt", FindResult::kFound, "b.txt"},
      {dir / "missing.txt", FindResult::kAbsent, ""},
      {dir / "Warning.txt", FindResult::kAbsent, ""},  // a directory is not the log
      {dir / "*.txt", FindResult::kFound, "b.txt"},    // the directory a.txt is passed over
      {dir / "*.log", FindResult::kFound, "日志.log"},
      {dir / "*.none", FindResult::kAbsent, ""},
      {dir / "b.txt/inside", FindResult::kAbsent, ""},
      {dir / std::string(300, 'n'), FindResult::kFailed, ""},  // the name is too long to tell
  };
  for (const Row& row : rows) {
    FoundFile found = FindFile(Gbk(row.path));
    EXPECT_EQ(found.result, row.result) << row.path;
    EXPECT_EQ(found.name, text::FromUtf8(row.name)) << row.path;
  }
}

TEST_F(Files, CreateNewFileNeverTouchesAnExistingOne) {
  EXPECT_TRUE(CreateNewFile(Gbk(log), {}));
  EXPECT_TRUE(fs::exists(log));
  EXPECT_EQ(fs::file_size(log), 0u);
  WriteBytes(log, "history");
  EXPECT_FALSE(CreateNewFile(Gbk(log), text::Bytes{'n', 'e', 'w'}));
  EXPECT_EQ(ReadBytes(log), "history");
  EXPECT_FALSE(fs::exists(temp));
}

TEST_F(Files, WriteFileCreatesOrReplacesKeepingTheMode) {
  EXPECT_TRUE(WriteFile(Gbk(log), text::Bytes{'a', 'b'}));
  EXPECT_EQ(ReadBytes(log), "ab");
  chmod(log.c_str(), 0640);
  EXPECT_TRUE(WriteFile(Gbk(log), text::Bytes{'c'}));
  EXPECT_EQ(ReadBytes(log), "c");
  EXPECT_EQ(ModeOf(log), 0640u);
  chmod(log.c_str(), 0444);
  EXPECT_FALSE(WriteFile(Gbk(log), text::Bytes{'d'}));
  EXPECT_EQ(ReadBytes(log), "c");
  EXPECT_EQ(dir.Names().size(), 1u);
}

TEST_F(Files, InsertPutsTheLineFirstAndKeepsEveryOldByte) {
  for (std::size_t size :
       {std::size_t{0}, std::size_t{10}, std::size_t{4096}, std::size_t{10000}}) {
    std::string old = RandomBytes(size, static_cast<unsigned>(size));
    WriteBytes(log, old);
    chmod(log.c_str(), 0604);
    File file = File::OpenForUpdate(Gbk(log));
    ASSERT_TRUE(file) << size;
    ASSERT_TRUE(file.InsertLine("first"));
    ASSERT_TRUE(file.InsertLine("second"));  // after the first: the position moved on
    file.Close();
    EXPECT_EQ(ReadBytes(log), "first\r\nsecond\r\n" + old) << size;
    EXPECT_EQ(ModeOf(log), 0604u) << size;
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"Warning.txt"}) << size;
  }
}

TEST_F(Files, InsertSweepsATempFileLeftByACrash) {
  struct Row {
    const char* what;
    void (*leave)(const std::string& log, const std::string& temp);
  } rows[] = {
      {"half-written change",
       [](const std::string&, const std::string& temp) {
         WriteBytes(temp, "half of an earlier change");
       }},
      // A create killed after linking the temporary file as the log.
      {"second link of the log",
       [](const std::string& log, const std::string& temp) { fs::create_hard_link(log, temp); }},
  };
  for (const Row& row : rows) {
    fs::remove(temp);
    WriteBytes(log, "old\r\n");
    row.leave(log, temp);
    File file = File::OpenForUpdate(Gbk(log));
    ASSERT_TRUE(file.InsertLine("new")) << row.what;
    EXPECT_EQ(ReadBytes(log), "new\r\nold\r\n") << row.what;
    EXPECT_FALSE(fs::exists(temp)) << row.what;
    EXPECT_EQ(fs::hard_link_count(log), 1u) << row.what;
  }
}

TEST_F(Files, LogThatCannotBeOpenedIsLeftAlone) {
  struct Row {
    const char* what;
    void (*setUp)(const std::string& log);
  } rows[] = {
      {"read-only", [](const std::string& log) { chmod(log.c_str(), 0444); }},
      {"directory",
       [](const std::string& log) {
         fs::remove(log);
         fs::create_directory(log);
       }},
      {"missing", [](const std::string& log) { fs::remove(log); }},
  };
  for (const Row& row : rows) {
    fs::remove_all(log);
    WriteBytes(log, "history\r\n");
    row.setUp(log);
    File file = File::OpenForUpdate(Gbk(log));
    EXPECT_FALSE(file) << row.what;
    EXPECT_FALSE(file.InsertLine("line")) << row.what;
    file.Close();
    if (fs::is_regular_file(log)) {
      EXPECT_EQ(ReadBytes(log), "history\r\n") << row.what;
    }
    EXPECT_FALSE(fs::exists(temp)) << row.what;
    if (std::string_view(row.what) == "directory") {
      EXPECT_TRUE(fs::is_directory(log));
    }
    chmod(log.c_str(), 0644);
  }
}

TEST_F(Files, LogLockedByAnotherProgramIsLeftAlone) {
  WriteBytes(log, "history\r\n");
  int other = open(log.c_str(), O_RDONLY);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  EXPECT_FALSE(File::OpenForUpdate(Gbk(log)));
  close(other);
  File file = File::OpenForUpdate(Gbk(log));
  EXPECT_TRUE(file.InsertLine("line"));
  EXPECT_EQ(ReadBytes(log), "line\r\nhistory\r\n");
}

TEST_F(Files, OneInsertAtATime) {
  WriteBytes(log, "");
  File first = File::OpenForUpdate(Gbk(log));
  ASSERT_TRUE(first);
  EXPECT_FALSE(File::OpenForUpdate(Gbk(log)));  // the first holds it, also after replacing it
  ASSERT_TRUE(first.InsertLine("a"));
  EXPECT_FALSE(File::OpenForUpdate(Gbk(log)));
  first.Close();
  EXPECT_TRUE(File::OpenForUpdate(Gbk(log)));
}

namespace {
file_faults::Step gFailStep;
int gFailErrno;
int FailOneStep(file_faults::Step step) { return step == gFailStep ? gFailErrno : 0; }
struct HookGuard {
  ~HookGuard() { file_faults::SetHook(nullptr); }
};
}  // namespace

TEST_F(Files, FailedStepLeavesTheLogAsItWas) {
  using S = file_faults::Step;
  struct Row {
    S step;
    int error;
  } rows[] = {{S::kReadOld, EIO},
              {S::kCreateTemp, ENOSPC},
              {S::kWriteTemp, ENOSPC},
              {S::kSyncTemp, EIO},
              {S::kRename, EIO}};
  HookGuard guard;
  file_faults::SetHook(FailOneStep);
  std::string old = RandomBytes(5000, 7);
  for (const Row& row : rows) {
    gFailStep = row.step;
    gFailErrno = row.error;
    WriteBytes(log, old);
    File file = File::OpenForUpdate(Gbk(log));
    ASSERT_TRUE(file);
    EXPECT_FALSE(file.InsertLine("line")) << static_cast<int>(row.step);
    file.Close();
    EXPECT_EQ(ReadBytes(log), old) << static_cast<int>(row.step);
    EXPECT_FALSE(fs::exists(temp)) << static_cast<int>(row.step);
  }
}

namespace {
std::string gCreatingLog;
// Another program that found no log a moment ago creates it now, while an
// insert has its temporary file written.
int CreateLogMeanwhile(file_faults::Step step) {
  static bool creating = false;
  if (step == file_faults::Step::kSyncTemp && !creating) {
    creating = true;
    CreateNewFile(FromFsPath(gCreatingLog), {});
    creating = false;
  }
  return 0;
}
}  // namespace

TEST_F(Files, CreatingTheLogMeanwhileLeavesAnInsertAlone) {
  HookGuard guard;
  gCreatingLog = log;
  WriteBytes(log, "history\r\n");
  file_faults::SetHook(CreateLogMeanwhile);
  File file = File::OpenForUpdate(Gbk(log));
  EXPECT_TRUE(file.InsertLine("line"));
  file.Close();
  EXPECT_EQ(ReadBytes(log), "line\r\nhistory\r\n");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"Warning.txt"});
}

TEST_F(Files, DirectoryClosedToNewFilesGetsTheLineInPlace) {
  HookGuard guard;
  gFailStep = file_faults::Step::kCreateTemp;
  gFailErrno = EACCES;
  file_faults::SetHook(FailOneStep);
  std::string old = RandomBytes(9000, 3);
  WriteBytes(log, old);
  File file = File::OpenForUpdate(Gbk(log));
  ASSERT_TRUE(file.InsertLine("line"));
  file.Close();
  EXPECT_EQ(ReadBytes(log), "line\r\n" + old);
}

TEST_F(Files, LinksStayLinks) {
  std::string real = dir / "real.txt";
  WriteBytes(real, "old\r\n");
  fs::create_symlink(real, log);
  {
    File file = File::OpenForUpdate(Gbk(log));
    ASSERT_TRUE(file.InsertLine("via symlink"));
  }
  EXPECT_TRUE(fs::is_symlink(log));
  EXPECT_EQ(ReadBytes(real), "via symlink\r\nold\r\n");

  std::string other = dir / "other.txt";
  fs::create_hard_link(real, other);
  {
    File file = File::OpenForUpdate(Gbk(log));
    ASSERT_TRUE(file.InsertLine("via hard link"));
  }
  EXPECT_EQ(ReadBytes(other), "via hard link\r\nvia symlink\r\nold\r\n");
  EXPECT_EQ(fs::hard_link_count(real), 2u);
}
