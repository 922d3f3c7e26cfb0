#include "platform/sound/SdlSound.h"

#include <SDL.h>
#include <SDL_mixer.h>

#include <mutex>
#include <string>

#include "platform/sys/RunDir.h"
#include "platform/thread/Thread.h"

namespace platform {
namespace {

class SdlSound final : public Sound {
 public:
  ~SdlSound() override {
    std::lock_guard lock(mutex_);
    CloseLocked();
    if (mixInit_) Mix_Quit();
  }

  void Play(std::string_view path, int count) override {
    std::string fsPath = ToFsPath(path);
    std::lock_guard lock(mutex_);
    // Checked under the lock that Stop takes: a worker ended before a Stop
    // can no longer start a sound that nobody would stop.
    CheckEnd();
    CloseLocked();
    if (count == 0 || count < -1) return;
    if (!OpenLocked()) return;
    music_ = Mix_LoadMUS(fsPath.c_str());
    // A missing or broken file plays nothing and reports nothing.
    if (!music_ || Mix_PlayMusic(music_, count) != 0) CloseLocked();
    ReleaseThreadState();
  }

  void Stop() override {
    std::lock_guard lock(mutex_);
    CloseLocked();
    ReleaseThreadState();
  }

 private:
  // SDL keeps per-thread state (its error text) that it frees only for its
  // own threads; callers here are workers that come and go.
  static void ReleaseThreadState() { SDL_TLSCleanup(); }

  bool TryOpen() {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return false;
    if (Mix_OpenAudio(44100, MIX_DEFAULT_FORMAT, 2, 2048) == 0) return true;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return false;
  }

  bool OpenLocked() {
    if (!mixInit_) {
      Mix_Init(MIX_INIT_MP3);
      mixInit_ = true;
    }
    if (!dummy_ && TryOpen()) return open_ = true;
    // No usable device: the silent driver keeps playback's timing and calls.
    dummy_ = true;
    SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy", SDL_HINT_OVERRIDE);
    open_ = TryOpen();
    SDL_ResetHint(SDL_HINT_AUDIODRIVER);
    return open_;
  }

  void CloseLocked() {
    if (music_) {
      Mix_HaltMusic();
      Mix_FreeMusic(music_);
      music_ = nullptr;
    }
    if (open_) {
      Mix_CloseAudio();
      SDL_QuitSubSystem(SDL_INIT_AUDIO);
      open_ = false;
    }
  }

  std::mutex mutex_;
  Mix_Music* music_ = nullptr;
  bool open_ = false;
  bool dummy_ = false;
  bool mixInit_ = false;
};

}  // namespace

std::unique_ptr<Sound> MakeSdlSound() { return std::make_unique<SdlSound>(); }

}  // namespace platform
