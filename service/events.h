// What happens at the scanners, told to the pages that listen (the server-sent events stream).
// Producers publish small events and never wait: each listener has a bounded queue of its own,
// and a listener that does not keep up loses its oldest events (and is told so) rather than
// slowing a capture down.
#pragma once

#include <json/json.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace service {

// Event names as pages see them.
namespace event {
inline constexpr const char* kFingerOn = "fingeron";
inline constexpr const char* kFingerOff = "fingeroff";
inline constexpr const char* kPlug = "plug";
inline constexpr const char* kUnplug = "unplug";
inline constexpr const char* kCaptureStarted = "capturestarted";
inline constexpr const char* kCaptureDone = "capturedone";
inline constexpr const char* kEnrolSample = "enrolsample";
// Sent to a listener in place of the events its full queue had to drop.
inline constexpr const char* kOverflow = "overflow";
}  // namespace event

struct Event {
  uint64_t id = 0;      // increases by one per published event, from 1
  std::string type;     // one of the names above
  std::string sHandle;  // the scanner's handle text; empty for events of no one scanner
  Json::Value data;     // an object; the stream sends it as the event's data
};

class EventHub {
 public:
  class Listener {
   public:
    explicit Listener(size_t capacity) : capacity_(capacity) {}
    // The next event, waiting at most `wait`; none when nothing came or the listener was closed.
    std::optional<Event> Next(std::chrono::milliseconds wait);
    // Wakes a waiting Next() and ends the listener; later events are not queued.
    void Close();
    bool Closed() const;

   private:
    friend class EventHub;
    void Push(const Event& event);

    const size_t capacity_;
    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Event> queue_;
    uint64_t dropped_ = 0;
    bool closed_ = false;
  };

  static constexpr size_t kDefaultCapacity = 256;

  // Registers a listener; it receives every event published from now on until it is closed or
  // the last reference to it is dropped.
  std::shared_ptr<Listener> Listen(size_t capacity = kDefaultCapacity);

  // Queues the event for every live listener; never blocks on a listener.
  void Publish(std::string type, std::string sHandle, Json::Value data = Json::objectValue);

  // Listeners still registered (closed and dropped ones are pruned on the next publish).
  size_t ListenerCount() const;

  // Ends every listener, e.g. when the agent stops.
  void CloseAll();

 private:
  mutable std::mutex lock_;
  uint64_t nextId_ = 1;
  std::vector<std::weak_ptr<Listener>> listeners_;
};

// The text of one event on a text/event-stream: "id:", "event:" and one "data:" line with the
// event's data as compact JSON (with "sHandle" added when the event has one), then a blank line.
std::string FormatServerSentEvent(const Event& event);

}  // namespace service
