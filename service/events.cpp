#include "service/events.h"

#include <algorithm>
#include <utility>

namespace service {

std::optional<Event> EventHub::Listener::Next(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> hold(lock_);
  ready_.wait_for(hold, wait, [this] { return closed_ || dropped_ > 0 || !queue_.empty(); });
  if (closed_) {
    return std::nullopt;
  }
  if (dropped_ > 0) {
    Event overflow;
    overflow.type = event::kOverflow;
    overflow.data = Json::objectValue;
    overflow.data["dropped"] = static_cast<Json::UInt64>(dropped_);
    dropped_ = 0;
    return overflow;
  }
  if (queue_.empty()) {
    return std::nullopt;
  }
  Event next = std::move(queue_.front());
  queue_.pop_front();
  return next;
}

void EventHub::Listener::Close() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    queue_.clear();
  }
  ready_.notify_all();
}

bool EventHub::Listener::Closed() const {
  std::lock_guard<std::mutex> hold(lock_);
  return closed_;
}

void EventHub::Listener::Push(const Event& event) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (closed_) {
      return;
    }
    if (queue_.size() >= capacity_) {
      queue_.pop_front();
      ++dropped_;
    }
    queue_.push_back(event);
  }
  ready_.notify_one();
}

std::shared_ptr<EventHub::Listener> EventHub::Listen(size_t capacity) {
  auto listener = std::make_shared<Listener>(std::max<size_t>(capacity, 1));
  std::lock_guard<std::mutex> hold(lock_);
  listeners_.push_back(listener);
  return listener;
}

void EventHub::Publish(std::string type, std::string sHandle, Json::Value data) {
  std::vector<std::shared_ptr<Listener>> live;
  Event event;
  {
    std::lock_guard<std::mutex> hold(lock_);
    std::erase_if(listeners_, [&live](const std::weak_ptr<Listener>& weak) {
      std::shared_ptr<Listener> listener = weak.lock();
      if (!listener || listener->Closed()) {
        return true;
      }
      live.push_back(std::move(listener));
      return false;
    });
    if (live.empty()) {
      return;
    }
    event.id = nextId_++;
  }
  event.type = std::move(type);
  event.sHandle = std::move(sHandle);
  event.data = data.isObject() ? std::move(data) : Json::Value(Json::objectValue);
  for (const std::shared_ptr<Listener>& listener : live) {
    listener->Push(event);
  }
}

size_t EventHub::ListenerCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<size_t>(
      std::count_if(listeners_.begin(), listeners_.end(), [](const std::weak_ptr<Listener>& weak) {
        const std::shared_ptr<Listener> listener = weak.lock();
        return listener && !listener->Closed();
      }));
}

void EventHub::CloseAll() {
  std::vector<std::shared_ptr<Listener>> live;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (const std::weak_ptr<Listener>& weak : listeners_) {
      if (std::shared_ptr<Listener> listener = weak.lock()) {
        live.push_back(std::move(listener));
      }
    }
    listeners_.clear();
  }
  for (const std::shared_ptr<Listener>& listener : live) {
    listener->Close();
  }
}

std::string FormatServerSentEvent(const Event& event) {
  Json::Value data = event.data.isObject() ? event.data : Json::Value(Json::objectValue);
  if (!event.sHandle.empty()) {
    data["sHandle"] = event.sHandle;
  }
  Json::StreamWriterBuilder compact;
  compact["indentation"] = "";
  std::string text;
  if (event.id != 0) {
    text += "id: " + std::to_string(event.id) + "\n";
  }
  text += "event: " + event.type + "\n";
  text += "data: " + Json::writeString(compact, data) + "\n\n";
  return text;
}

}  // namespace service
