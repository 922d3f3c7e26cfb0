#pragma once
// MP3 playback.

#include <string_view>

namespace platform {

class Sound {
 public:
  virtual ~Sound() = default;
  // Starts playing the file at `path` (GBK) `count` times (-1: until stopped)
  // and returns at once, replacing anything playing. A file that cannot be
  // opened plays nothing and reports nothing. On a worker whose end was
  // requested it plays nothing and throws platform::ThreadEnded.
  virtual void Play(std::string_view path, int count) = 0;
  // Stops playback; nothing when silent.
  virtual void Stop() = 0;
};

// The player in use; a silent one until one is installed.
Sound& TheSound();
void InstallSound(Sound* sound);  // not owned; nullptr restores the silent one

}  // namespace platform
