#pragma once
// A private X server (Xvfb, and openbox where a window manager matters) for
// one test. The test process's DISPLAY points at it while it lives.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace testing_x {

inline std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
    pclose(pipe);
  }
  return out;
}

inline bool OnPath(const char* program) {
  return !Shell(std::string("command -v ") + program + " 2>/dev/null").empty();
}

class XSession {
 public:
  explicit XSession(bool windowManager = true, const char* screen = "1280x1024x24") {
    for (const char* tool : {"Xvfb", "xdotool", "xprop", "xwininfo", "import"}) {
      if (!OnPath(tool)) {
        reason_ = std::string(tool) + " is not installed";
        return;
      }
    }
    if (windowManager && !OnPath("openbox")) {
      reason_ = "openbox is not installed";
      return;
    }
    int fds[2];
    if (pipe(fds) != 0) {
      reason_ = "pipe failed";
      return;
    }
    xvfb_ = fork();
    if (xvfb_ == 0) {
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen, "-nolisten", "tcp",
             "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      if (poll(&p, 1, 200) > 0) {
        char c[16];
        ssize_t n = read(fds[0], c, sizeof c);
        if (n <= 0) break;
        number.append(c, static_cast<std::size_t>(n));
      }
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      reason_ = "Xvfb did not start";
      return;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    setenv("DISPLAY", display_.c_str(), 1);
    if (windowManager) {
      wm_ = fork();
      if (wm_ == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("openbox", "openbox", "--sm-disable", static_cast<char*>(nullptr));
        _exit(127);
      }
      if (!WaitFor([] {
            return Shell("xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null").find("window id") !=
                   std::string::npos;
          })) {
        reason_ = "openbox did not start";
        return;
      }
    }
    ok_ = true;
  }

  ~XSession() {
    for (pid_t pid : {wm_, xvfb_}) {
      if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
      }
    }
  }

  bool ok() const { return ok_; }
  const std::string& reason() const { return reason_; }
  const std::string& display() const { return display_; }

  // Polls `done` every 20 ms for up to `timeout`.
  template <class Fn>
  static bool WaitFor(Fn done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  bool ok_ = false;
  std::string reason_;
  std::string display_;
  pid_t xvfb_ = -1;
  pid_t wm_ = -1;
};

// The visible window whose name is exactly `name`; 0 when none.
inline unsigned long VisibleWindow(const std::string& name) {
  std::string ids = Shell("xdotool search --onlyvisible --name '^" + name + "$' 2>/dev/null");
  return ids.empty() ? 0 : std::stoul(ids);
}

// A screenshot of the root window as 8-bit RGB.
struct Image {
  int width = 0, height = 0;
  std::string rgb;
  std::array<int, 3> At(int x, int y) const {
    auto i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
              static_cast<std::size_t>(x)) *
             3;
    return {static_cast<unsigned char>(rgb[i]), static_cast<unsigned char>(rgb[i + 1]),
            static_cast<unsigned char>(rgb[i + 2])};
  }
};

inline Image Screenshot() {
  std::string ppm = Shell("import -window root -depth 8 ppm:- 2>/dev/null");
  Image image;
  int maxval = 0;
  int consumed = 0;
  if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &image.width, &image.height, &maxval, &consumed) !=
          3 ||
      maxval != 255) {
    return {};
  }
  image.rgb = ppm.substr(static_cast<std::size_t>(consumed) + 1);
  if (image.rgb.size() <
      static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3)
    return {};
  return image;
}

}  // namespace testing_x
