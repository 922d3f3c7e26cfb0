#include <atomic>

#include "platform/ui/Sound.h"
#include "platform/ui/Ui.h"

namespace platform {
namespace {

class QuietUi final : public Ui {
 public:
  text::Text GetText(std::string_view, int) override { return {}; }
  void SetText(std::string_view, int, std::string_view) override {}
  std::int64_t GetInt(std::string_view, int) override { return 0; }
  void SetInt(std::string_view, int, std::int64_t) override {}
  text::Text ComboItemText(std::string_view, int) override { return {}; }
  void SetStatusText(std::string_view, int, std::string_view) override {}
  int MessageBox(std::string_view, int, std::string_view) override { return 0; }
};

class SilentSound final : public Sound {
 public:
  void Play(std::string_view, int) override {}
  void Stop() override {}
};

QuietUi gQuietUi;
SilentSound gSilentSound;
std::atomic<Ui*> gUi{&gQuietUi};
std::atomic<Sound*> gSound{&gSilentSound};

}  // namespace

Ui& TheUi() { return *gUi.load(std::memory_order_acquire); }
void InstallUi(Ui* ui) { gUi.store(ui ? ui : &gQuietUi, std::memory_order_release); }

Sound& TheSound() { return *gSound.load(std::memory_order_acquire); }
void InstallSound(Sound* sound) {
  gSound.store(sound ? sound : &gSilentSound, std::memory_order_release);
}

}  // namespace platform
