#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace platform {

SingleInstanceLock::~SingleInstanceLock() {
  if (fd_ >= 0) {
    ::close(fd_);  // releases the flock
  }
}

std::string LockFilePath(const std::string& name) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string dir = (runtime != nullptr && *runtime != '\0') ? runtime : "/tmp";
  return dir + "/" + name + ".lock";
}

bool SingleInstanceLock::Acquire(const std::string& name) {
  if (fd_ >= 0) {
    return true;
  }
  const std::string path = LockFilePath(name);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

std::string ExecutableDirectory() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) {
    return {};
  }
  std::string path(buffer, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return path;
  }
  return path.substr(0, slash);
}

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void OnStopSignal(int) {
  g_stopSignal = 1;
}

}  // namespace

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool StopRequestedBySignal() {
  return g_stopSignal != 0;
}

namespace {

// The few libX11 entry points the watcher needs, bound at run time so that the agent also
// starts on machines without X11.
struct X11 {
  using OpenDisplayFn = void* (*)(const char*);
  using CloseDisplayFn = int (*)(void*);
  using QueryKeymapFn = int (*)(void*, char[32]);
  using KeysymToKeycodeFn = unsigned char (*)(void*, unsigned long);

  void* library = nullptr;
  OpenDisplayFn openDisplay = nullptr;
  CloseDisplayFn closeDisplay = nullptr;
  QueryKeymapFn queryKeymap = nullptr;
  KeysymToKeycodeFn keysymToKeycode = nullptr;

  bool Load() {
    library = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      return false;
    }
    openDisplay = reinterpret_cast<OpenDisplayFn>(::dlsym(library, "XOpenDisplay"));
    closeDisplay = reinterpret_cast<CloseDisplayFn>(::dlsym(library, "XCloseDisplay"));
    queryKeymap = reinterpret_cast<QueryKeymapFn>(::dlsym(library, "XQueryKeymap"));
    keysymToKeycode = reinterpret_cast<KeysymToKeycodeFn>(::dlsym(library, "XKeysymToKeycode"));
    return openDisplay && closeDisplay && queryKeymap && keysymToKeycode;
  }

  ~X11() {
    if (library != nullptr) {
      ::dlclose(library);
    }
  }
};

bool KeyDown(const char keys[32], unsigned char keycode) {
  return keycode != 0 && (keys[keycode / 8] & (1 << (keycode % 8))) != 0;
}

}  // namespace

void WatchExitKey(std::atomic<bool>& running) {
  using namespace std::chrono_literals;
  const char* display = std::getenv("DISPLAY");
  X11 x11;
  void* connection = nullptr;
  if (display != nullptr && *display != '\0' && x11.Load()) {
    connection = x11.openDisplay(nullptr);
  }
  if (connection == nullptr) {
    while (running.load()) {
      std::this_thread::sleep_for(10ms);
    }
    return;
  }
  constexpr unsigned long kXkShiftL = 0xffe1;
  constexpr unsigned long kXkShiftR = 0xffe2;
  constexpr unsigned long kXkEscape = 0xff1b;
  const unsigned char shiftL = x11.keysymToKeycode(connection, kXkShiftL);
  const unsigned char shiftR = x11.keysymToKeycode(connection, kXkShiftR);
  const unsigned char escape = x11.keysymToKeycode(connection, kXkEscape);
  while (running.load()) {
    char keys[32] = {};
    x11.queryKeymap(connection, keys);
    // Esc is looked at only while Shift is down, as the combination demands.
    if ((KeyDown(keys, shiftL) || KeyDown(keys, shiftR)) && KeyDown(keys, escape)) {
      running.store(false);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  x11.closeDisplay(connection);
}

bool LimitAllocatorArenas(int arenas) {
#if defined(__GLIBC__)
  constexpr int kMapFrom = 64 * 1024;
  const bool arenasSet = mallopt(M_ARENA_MAX, arenas < 1 ? 1 : arenas) == 1;
  return mallopt(M_MMAP_THRESHOLD, kMapFrom) == 1 && arenasSet;
#else
  (void)arenas;
  return false;
#endif
}

}  // namespace platform
