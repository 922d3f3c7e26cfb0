// Threads with a cooperative end, and per-thread messages.
#include <gtest/gtest.h>

#include <poll.h>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/thread/Thread.h"

using namespace platform;
using namespace std::chrono_literals;

TEST(Thread, EndUnwindsAWorkerAtItsNextCheck) {
  std::atomic<int> steps{0};
  std::atomic<bool> unwound{false};
  struct Guard {
    std::atomic<bool>& flag;
    ~Guard() { flag = true; }
  };
  ThreadHandle h = StartThread([&] {
    Guard g{unwound};
    for (;;) {
      CheckEnd();
      ++steps;
      std::this_thread::sleep_for(1ms);
    }
  });
  ASSERT_NE(h, 0u);
  while (steps < 3) std::this_thread::sleep_for(1ms);
  EndThread(h);
  EXPECT_TRUE(JoinThread(h, 2s));
  EXPECT_TRUE(unwound);
  int after = steps;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(steps, after);
}

TEST(Thread, AWorkerEndingItselfLeavesAtOnce) {
  std::atomic<bool> afterEnd{false};
  ThreadHandle h = StartThread([&] {
    EndThread(CurrentThread());
    afterEnd = true;
  });
  EXPECT_TRUE(JoinThread(h, 2s));
  EXPECT_FALSE(afterEnd);
}

TEST(Thread, StopCallbackWakesAWait) {
  std::atomic<bool> woke{false};
  ThreadHandle h = StartThread([&] {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    cv.wait(lock, CurrentStopToken(), [] { return false; });
    woke = true;
    CheckEnd();
  });
  std::this_thread::sleep_for(20ms);
  EndThread(h);
  EXPECT_TRUE(JoinThread(h, 2s));
  EXPECT_TRUE(woke);
}

TEST(Thread, MessagesRunOnTheTargetThreadAndAreDroppedAfterEnd) {
  std::atomic<ThreadHandle> ranOn{0};
  std::atomic<bool> ready{false};
  ThreadHandle h = StartThread([&] {
    ready = true;
    for (;;) {
      pollfd p{MessageFd(), POLLIN, 0};
      poll(&p, 1, 10);
      ProcessEvents();
      CheckEnd();
    }
  });
  while (!ready) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(PostThreadMessage(h, [&] { ranOn = CurrentThread(); }));
  for (int i = 0; i < 200 && ranOn == 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(ranOn, h);
  EndThread(h);
  EXPECT_FALSE(PostThreadMessage(h, [] {}));
  EXPECT_TRUE(JoinThread(h, 2s));
}

TEST(Thread, EndAllJoinsEveryWorker) {
  for (int i = 0; i < 3; ++i) {
    StartThread([] {
      for (;;) {
        CheckEnd();
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  EXPECT_EQ(EndAllThreads(2s), 0);
  EndThread(12345678);  // unknown handles are ignored
  EXPECT_TRUE(JoinThread(12345678, 0ms));
}
