// Crash safety of the line insert: a child process inserts one line into a
// log and is killed with SIGKILL at a random moment. Each time the log must
// hold exactly the old or the new bytes, and the next insert must sweep any
// temporary file the dead child left.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "platform/files/Files.h"
#include "platform/sys/RunDir.h"
#include "tests/files/TempDir.h"

using namespace platform;
using Clock = std::chrono::steady_clock;
using Us = std::chrono::duration<double, std::micro>;

namespace {

constexpr int kRounds = 400;
constexpr std::size_t kLogSize = 256 << 10;

pid_t StartInsert(const text::Text& log, const std::string& line) {
  pid_t pid = fork();
  if (pid == 0) {
    File file = File::OpenForUpdate(log);
    _exit(file && file.InsertLine(line) ? 0 : 1);
  }
  return pid;
}

}  // namespace

TEST(FilesCrash, KilledInsertLeavesOldOrNewContent) {
  TempDir dir;
  std::string path = dir / "Warning.txt";
  text::Text log = FromFsPath(path);
  std::string temp = TempPathFor(path);
  std::mt19937 rng(20240305);
  std::string content(kLogSize, '\0');
  for (char& c : content) c = static_cast<char>('a' + rng() % 26);
  for (std::size_t i = 80; i < content.size(); i += 81) content[i] = '\n';
  WriteBytes(path, content);

  // How long a whole child insert takes, so that the kills spread over it.
  std::vector<double> took;
  for (int i = 0; i < 7; ++i) {
    auto start = Clock::now();
    pid_t pid = StartInsert(log, "calibration " + std::to_string(i));
    ASSERT_GT(pid, 0);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    took.push_back(Us(Clock::now() - start).count());
  }
  std::sort(took.begin(), took.end());
  double window = took[took.size() / 2];
  content = ReadBytes(path);

  int foundOld = 0, foundNew = 0, corrupt = 0, finished = 0, tempsLeft = 0, tempsAfterNext = 0;
  auto start = Clock::now();
  std::uniform_real_distribution<double> delay(0, window);
  for (int round = 0; round < kRounds; ++round) {
    std::string line = "alert line " + std::to_string(round);
    std::string expectNew = line + "\r\n" + content;
    pid_t pid = StartInsert(log, line);
    ASSERT_GT(pid, 0);
    auto killAt = Clock::now() + std::chrono::microseconds(static_cast<long>(delay(rng)));
    while (Clock::now() < killAt) {
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) ++finished;

    std::string after = ReadBytes(path);
    if (after == content) {
      ++foundOld;
    } else if (after == expectNew) {
      ++foundNew;
    } else {
      ++corrupt;
      ADD_FAILURE() << "round " << round << ": the log is neither the old nor the new content";
    }
    if (std::filesystem::exists(temp)) ++tempsLeft;

    // The next insert, in this process.
    std::string next = "next " + std::to_string(round);
    {
      File file = File::OpenForUpdate(log);
      ASSERT_TRUE(file && file.InsertLine(next)) << round;
    }
    if (std::filesystem::exists(temp)) ++tempsAfterNext;
    content = ReadBytes(path);
    ASSERT_EQ(content, next + "\r\n" + after) << round;
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::printf(
      "%d kills in %.2f s on a %zu-byte log (one child insert: median %.0f us, kill window "
      "%.0f us)\n"
      "  old content: %d, new content: %d, corrupt: %d, child finished before the kill: %d\n"
      "  temporary file left by the killed child: %d, still there after the next insert: %d\n",
      kRounds, seconds, kLogSize, took[took.size() / 2], window, foundOld, foundNew, corrupt,
      finished, tempsLeft, tempsAfterNext);
  EXPECT_EQ(corrupt, 0);
  EXPECT_EQ(tempsAfterNext, 0);
  EXPECT_GT(foundOld, 0) << "no kill landed before an insert was done";
}
