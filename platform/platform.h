// Operating-system services the agent host needs, provided the Linux way.
#pragma once

#include <atomic>
#include <string>

namespace platform {

// Holds the single-instance lock: an exclusive, non-blocking flock on a lock file named after
// the agent's GUID in $XDG_RUNTIME_DIR (or /tmp). The kernel drops the lock when the process
// ends, so a crashed agent never blocks the next start.
class SingleInstanceLock {
 public:
  SingleInstanceLock() = default;
  ~SingleInstanceLock();
  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

  // True when this process now holds the lock; false when another process holds it or the
  // lock file cannot be opened.
  bool Acquire(const std::string& name);

 private:
  int fd_ = -1;
};

// Path of the lock file for `name` (public for tests and diagnostics).
std::string LockFilePath(const std::string& name);

// Directory of the running executable, without a trailing "/"; empty when unknown.
std::string ExecutableDirectory();

// Routes SIGINT and SIGTERM to a flag that StopRequestedBySignal reports. SIGPIPE is ignored:
// a page that goes away mid-reply must not end the process.
void InstallStopSignals();
bool StopRequestedBySignal();

// Keeps the C library's allocator to `arenas` heaps (at least 1). By default glibc gives each
// thread that allocates concurrently a heap of its own (up to 8 per core), and every heap keeps
// the memory its thread once used: across the server's worker threads that multiplies what an
// idle agent holds. Requests run one at a time behind the API lock anyway, so a single heap
// costs no speed. It also fixes the size from which blocks are mapped on their own, and so
// handed back to the system when freed, at 64 KB: glibc raises that size to the largest block
// freed so far, after which every image, export and extraction buffer of a request lands in
// the heap and the heap keeps the pages (1.5-2 MB of the agent's memory after sustained use).
// Call it first thing in main(), before any thread starts. False when the C library does not
// take the settings.
bool LimitAllocatorArenas(int arenas = 1);

// Polls the keyboard every 10 ms until Shift and Esc are down together, then clears `running`
// and returns. Reads the X11 keyboard state (libX11 loaded at run time) when a display is
// reachable; otherwise it only waits for `running` to be cleared by someone else.
void WatchExitKey(std::atomic<bool>& running);

}  // namespace platform
