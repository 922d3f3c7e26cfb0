#pragma once
// MP3 playback on SDL2_mixer.

#include <memory>

#include "platform/ui/Sound.h"

namespace platform {

// The audio device is opened on the first Play and closed on Stop, so an idle
// program holds no device and runs no mixing thread. With no usable device
// the sound plays on SDL's silent dummy driver.
std::unique_ptr<Sound> MakeSdlSound();

}  // namespace platform
