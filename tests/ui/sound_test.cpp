// MP3 playback observed through SDL's disk audio driver, which writes every
// mixed sample to a file at the device's pace.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/sound/SdlSound.h"
#include "platform/thread/Thread.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uintmax_t kBytesPerSecond = 44100 * 2 * 2;  // stereo, 16 bit

class SoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zantrel-sound-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    out_ = dir_ / "out.raw";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", out_.c_str(), 1);
    const char* run = std::getenv("ZANTREL_RUN_DIR");
    ASSERT_NE(run, nullptr);
    alert_ = fs::path(run) / "553680.mp3";
    ASSERT_TRUE(fs::exists(alert_)) << alert_;
    sound_ = platform::MakeSdlSound();
  }
  void TearDown() override {
    sound_.reset();
    fs::remove_all(dir_);
  }

  std::uintmax_t Written() const {
    std::error_code ec;
    auto size = fs::file_size(out_, ec);
    return ec ? 0 : size;
  }
  // True when the samples from `from` seconds on hold anything but silence.
  bool SoundAfter(double from) const {
    std::ifstream in(out_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from * kBytesPerSecond) & ~std::streamoff{3});
    std::vector<char> rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::any_of(rest.begin(), rest.end(), [](char c) { return c != 0; });
  }

  fs::path dir_, out_, alert_;
  std::unique_ptr<platform::Sound> sound_;
};

// The tone lasts 1.3 s; an endless play still sounds well after that, and
// stopping it stops the device.
TEST_F(SoundTest, EndlessPlayLoopsUntilStopped) {
  sound_->Play(alert_.string(), -1);
  std::this_thread::sleep_for(2800ms);
  EXPECT_GT(Written(), 2 * kBytesPerSecond);
  EXPECT_TRUE(SoundAfter(1.6)) << "the second round did not play";
  sound_->Stop();
  auto stopped = Written();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Written(), stopped);
}

TEST_F(SoundTest, SinglePlayEndsInSilence) {
  sound_->Play(alert_.string(), 1);
  std::this_thread::sleep_for(2500ms);
  EXPECT_GT(Written(), 2 * kBytesPerSecond);
  EXPECT_TRUE(SoundAfter(0.0));
  EXPECT_FALSE(SoundAfter(1.5));
  sound_->Stop();
}

TEST_F(SoundTest, UnplayableFilesPlayNothingAndStopIsHarmless) {
  std::ofstream(dir_ / "broken.mp3") << "this is not an mp3 file at all";
  sound_->Stop();  // silent: nothing to do
  for (fs::path file : {dir_ / "missing.mp3", dir_ / "broken.mp3"}) {
    SCOPED_TRACE(file);
    sound_->Play(file.string(), -1);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(SoundAfter(0.0));
    sound_->Stop();
  }
  sound_->Stop();
}

TEST_F(SoundTest, NoUsableDeviceFallsBackQuietly) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  auto start = std::chrono::steady_clock::now();
  sound_->Play(alert_.string(), -1);
  sound_->Play(alert_.string(), -1);
  sound_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(Written(), 0u);
  // The fallback is this player's alone: a new player tries the device again.
  setenv("SDL_AUDIODRIVER", "disk", 1);
  auto fresh = platform::MakeSdlSound();
  fresh->Play(alert_.string(), -1);
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(SoundAfter(0.0));
  fresh->Stop();
}

// Stop may come between a worker's last check and its Play: once its end
// was requested, the worker's Play must start nothing that would loop on.
TEST_F(SoundTest, AnEndedWorkerStartsNoSound) {
  std::atomic<bool> started{false}, ended{false}, threw{false};
  auto worker = platform::StartThread([&] {
    started = true;
    while (!ended) std::this_thread::sleep_for(1ms);
    try {
      sound_->Play(alert_.string(), -1);
    } catch (const platform::ThreadEnded&) {
      threw = true;
      throw;
    }
  });
  while (!started) std::this_thread::sleep_for(1ms);
  platform::EndThread(worker);
  ended = true;
  ASSERT_TRUE(platform::JoinThread(worker, 5s));
  EXPECT_TRUE(threw);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Written(), 0u);
}

TEST_F(SoundTest, ConcurrentPlayAndStopFromWorkers) {
  std::vector<platform::ThreadHandle> workers;
  for (int i = 0; i < 3; ++i) {
    workers.push_back(platform::StartThread([this, i] {
      for (int n = 0; n < 5; ++n) {
        if ((n + i) % 2) {
          sound_->Play(alert_.string(), -1);
        } else {
          sound_->Stop();
        }
      }
    }));
  }
  for (auto w : workers) EXPECT_TRUE(platform::JoinThread(w, 20s));
  sound_->Play(alert_.string(), -1);
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(SoundAfter(0.0));
  sound_->Stop();
}

}  // namespace
