#include "PrivateDisplay.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace velmora::testing {

namespace {

Display* xlib(void* display) {
  return static_cast<Display*>(display);
}

}  // namespace

PrivateDisplay::PrivateDisplay() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> words{"Xvfb", "-displayfd", "3", "-nolisten",
                                 "tcp",  "-screen",    "0", "1024x768x24"};
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  // It writes its display's number once it listens.
  std::string number;
  pollfd ready{fds[0], POLLIN, 0};
  char c = 0;
  while (pid_ > 0 && ::poll(&ready, 1, 20000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
    number += c;
  ::close(fds[0]);
  if (!number.empty()) name_ = ":" + number;
  if (!name_.empty()) display_ = XOpenDisplay(name_.c_str());
}

PrivateDisplay::~PrivateDisplay() {
  if (display_ != nullptr) XCloseDisplay(xlib(display_));
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool PrivateDisplay::MoveShownWindow(int x, int y) {
  Display* display = xlib(display_);
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
  bool there = false;
  for (unsigned i = 0; i < count && !there; ++i) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, children[i], &attributes) ||
        attributes.map_state != IsViewable)
      continue;
    XMoveWindow(display, children[i], x, y);
    XSync(display, False);
    XGetWindowAttributes(display, children[i], &attributes);
    there = attributes.x == x && attributes.y == y;
  }
  if (children != nullptr) XFree(children);
  return there;
}

}  // namespace velmora::testing
