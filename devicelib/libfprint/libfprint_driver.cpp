#include "devicelib/libfprint/libfprint_driver.h"

#include <fprint.h>
#include <gio/gio.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "devicelib/status.h"

namespace devicelib {
namespace {

constexpr double kMillimetresPerInch = 25.4;
constexpr int32_t kAssumedPpi = 500;  // what libfprint assumes for drivers that report nothing

// One asynchronous libfprint call, waited for on a core thread and finished on the GLib one.
struct Completion {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int32_t status = kOk;

  void Finish(int32_t s) {
    std::lock_guard lock(mutex);
    status = s;
    finished = true;
    done.notify_all();
  }
  int32_t Wait() {
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
    return status;
  }
};

bool Contains(const char* text, const char* part) {
  return text != nullptr && std::strstr(text, part) != nullptr;
}

// A libfprint or GUsb error as a status. USB-level causes (permissions, another program holding
// the interface) reach us only as GUsb's or libusb's texts, so those are read from the message.
int32_t StatusOfError(const GError* error) {
  if (error == nullptr) {
    return kOk;
  }
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    return kCaptureAborted;
  }
  if (error->domain == FP_DEVICE_ERROR) {
    switch (error->code) {
      case FP_DEVICE_ERROR_REMOVED:
        return kDeviceRemoved;
      case FP_DEVICE_ERROR_BUSY:
        return kDeviceInUse;
      case FP_DEVICE_ERROR_NOT_SUPPORTED:
        return kNotSupported;
      default:
        break;
    }
  }
  const char* m = error->message;
  if (Contains(m, "Access denied") || Contains(m, "ermission")) {
    return kDevicePermission;
  }
  if (Contains(m, "Resource busy") || Contains(m, "busy") || Contains(m, "Busy")) {
    return kDeviceInUse;
  }
  if (Contains(m, "No such device") || Contains(m, "removed")) {
    return kDeviceRemoved;
  }
  return kDeviceFailed;
}

struct Device {
  FpDevice* device = nullptr;  // one reference, dropped on the GLib thread
  DriverDevice info;
  gulong fingerHandler = 0;
  gulong removedHandler = 0;
  std::atomic<bool> fingerPresent{false};
  bool open = false;  // GLib thread only
};

struct CaptureOp {
  std::shared_ptr<Device> dev;
  GCancellable* cancellable = nullptr;
  GSource* timeout = nullptr;  // the capture time-out, GLib thread only
  bool timedOut = false;       // GLib thread only
  Frame frame;
  Completion completion;

  ~CaptureOp() { g_clear_object(&cancellable); }
};

}  // namespace

struct LibfprintDriver::Impl {
  GMainContext* context = nullptr;  // GLib's default context, iterated by `thread` alone
  GMainLoop* loop = nullptr;
  FpContext* fp = nullptr;
  std::thread thread;
  bool enumerated = false;  // GLib thread only

  std::mutex mutex;  // guards devices, order and nextKey
  std::map<std::string, std::shared_ptr<Device>> devices;
  std::vector<std::string> order;
  uint64_t nextKey = 1;

  // Plug and unplug events go to the core from a thread of their own: the core stops captures
  // there and waits for them, which needs the GLib thread running.
  std::mutex sinkMutex;  // held while the sink runs, so that clearing it waits for the call
  EventSink sink;
  std::mutex eventMutex;
  std::condition_variable eventReady;
  std::deque<std::pair<bool, DriverDevice>> events;
  bool stopping = false;
  std::thread eventThread;

  // Runs `fn` on the GLib thread (at once when already there) and waits for it.
  void Invoke(std::function<void()> fn) {
    if (g_main_context_is_owner(context)) {
      fn();
      return;
    }
    struct Call {
      std::function<void()> fn;
      std::promise<void> done;
    };
    auto* call = new Call{std::move(fn), {}};
    std::future<void> done = call->done.get_future();
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          auto* c = static_cast<Call*>(data);
          c->fn();
          c->done.set_value();
          return G_SOURCE_REMOVE;
        },
        call, [](gpointer data) { delete static_cast<Call*>(data); });
    done.wait();
  }

  std::shared_ptr<Device> Find(const std::string& key) {
    std::lock_guard lock(mutex);
    const auto it = devices.find(key);
    return it == devices.end() ? nullptr : it->second;
  }

  void PostEvent(bool added, const DriverDevice& info) {
    std::lock_guard lock(eventMutex);
    events.emplace_back(added, info);
    eventReady.notify_all();
  }

  void RunEvents() {
    std::unique_lock lock(eventMutex);
    for (;;) {
      eventReady.wait(lock, [&] { return stopping || !events.empty(); });
      if (stopping) {
        return;
      }
      auto [added, info] = std::move(events.front());
      events.pop_front();
      lock.unlock();
      {
        std::lock_guard sinkLock(sinkMutex);
        if (sink) {
          sink(added, info);
        }
      }
      lock.lock();
    }
  }

  // GLib thread.
  static void OnFingerStatus(FpDevice* device, GParamSpec*, gpointer data) {
    auto* dev = static_cast<Device*>(data);
    dev->fingerPresent.store((fp_device_get_finger_status(device) & FP_FINGER_STATUS_PRESENT) != 0);
  }

  // GLib thread.
  void Add(FpDevice* device) {
    if (!fp_device_has_feature(device, FP_DEVICE_FEATURE_CAPTURE)) {
      return;  // match-on-chip sensors keep their images to themselves
    }
    auto dev = std::make_shared<Device>();
    {
      std::lock_guard lock(mutex);
      for (const auto& [key, d] : devices) {
        if (d->device == device) {
          return;
        }
      }
      dev->device = FP_DEVICE(g_object_ref(device));
      dev->info.key = "fp" + std::to_string(nextKey++);
      const char* driverName = fp_device_get_driver(device);
      const char* deviceId = fp_device_get_device_id(device);
      const char* name = fp_device_get_name(device);
      dev->info.id = std::string(driverName ? driverName : "?") + " " +
                     (deviceId ? deviceId : "?") + " (" + (name ? name : "?") + ")";
      dev->info.model = name ? name : "";
      dev->info.type = kTypeLibfprint;
      dev->info.toneControl = false;
      devices[dev->info.key] = dev;
      order.push_back(dev->info.key);
    }
    dev->fingerHandler =
        g_signal_connect(device, "notify::finger-status", G_CALLBACK(OnFingerStatus), dev.get());
    // libfprint reports an unplugged device to the context only once it is closed.
    dev->removedHandler =
        g_signal_connect(device, "removed", G_CALLBACK(OnDeviceUnplugged), dev.get());
    if (enumerated) {
      PostEvent(true, dev->info);
    }
  }

  // GLib thread: the device is gone; close it as soon as its last action has ended.
  static void OnDeviceUnplugged(FpDevice* device, gpointer data) {
    auto* dev = static_cast<Device*>(data);
    if (dev->open) {
      dev->open = false;
      CloseWhenIdle(device);
    }
  }

  static void CloseWhenIdle(FpDevice* device) {
    fp_device_close(
        device, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer) {
          GError* error = nullptr;
          if (!fp_device_close_finish(FP_DEVICE(source), result, &error) &&
              g_error_matches(error, FP_DEVICE_ERROR, FP_DEVICE_ERROR_BUSY)) {
            // The failing capture has not completed yet: try again shortly.
            g_timeout_add_full(
                G_PRIORITY_DEFAULT, 20,
                [](gpointer d) -> gboolean {
                  CloseWhenIdle(FP_DEVICE(d));
                  return G_SOURCE_REMOVE;
                },
                g_object_ref(source), g_object_unref);
          }
          g_clear_error(&error);
        },
        nullptr);
  }

  // GLib thread.
  void Remove(FpDevice* device) {
    std::shared_ptr<Device> dev;
    {
      std::lock_guard lock(mutex);
      for (auto it = devices.begin(); it != devices.end(); ++it) {
        if (it->second->device == device) {
          dev = it->second;
          std::erase(order, it->first);
          devices.erase(it);
          break;
        }
      }
    }
    if (!dev) {
      return;
    }
    Release(*dev);
    PostEvent(false, dev->info);
  }

  // GLib thread: drops the device (a capture on it has failed with "removed" by now).
  static void Release(Device& dev) {
    if (dev.fingerHandler != 0) {
      g_signal_handler_disconnect(dev.device, dev.fingerHandler);
      g_signal_handler_disconnect(dev.device, dev.removedHandler);
      dev.fingerHandler = 0;
    }
    if (dev.open) {
      fp_device_close(dev.device, nullptr, nullptr, nullptr);
      dev.open = false;
    }
    g_clear_object(&dev.device);
  }

  // GLib thread.
  void StartCapture(std::shared_ptr<CaptureOp> op) {
    if (g_cancellable_is_cancelled(op->cancellable)) {
      FinishCapture(op, op->timedOut ? kCaptureTimeout : kCaptureAborted);
      return;
    }
    if (op->dev->device == nullptr) {
      FinishCapture(op, kDeviceRemoved);
      return;
    }
    fp_device_capture(op->dev->device, TRUE, op->cancellable, &Impl::OnCaptured,
                      new std::pair<Impl*, std::shared_ptr<CaptureOp>>(this, op));
  }

  static void OnCaptured(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::pair<Impl*, std::shared_ptr<CaptureOp>>> call(
        static_cast<std::pair<Impl*, std::shared_ptr<CaptureOp>>*>(data));
    Impl* self = call->first;
    std::shared_ptr<CaptureOp> op = call->second;
    GError* error = nullptr;
    FpImage* image = fp_device_capture_finish(FP_DEVICE(source), result, &error);
    if (image != nullptr) {
      gsize length = 0;
      const guchar* pixels = fp_image_get_data(image, &length);
      op->frame.width = static_cast<int32_t>(fp_image_get_width(image));
      op->frame.height = static_cast<int32_t>(fp_image_get_height(image));
      const double ppmm = fp_image_get_ppmm(image);
      op->frame.ppi =
          ppmm > 0 ? static_cast<int32_t>(std::lround(ppmm * kMillimetresPerInch)) : kAssumedPpi;
      op->frame.pixels.assign(pixels, pixels + length);
      g_object_unref(image);
      self->FinishCapture(op, kOk);
      return;
    }
    int32_t status = StatusOfError(error);
    if (error != nullptr && error->domain == FP_DEVICE_RETRY &&
        !g_cancellable_is_cancelled(op->cancellable)) {
      // A swipe too short, a finger off-centre, or an image libfprint could not use: the finger
      // is asked for again, within the same time-out.
      g_error_free(error);
      self->StartCapture(op);
      return;
    }
    if (status == kCaptureAborted && op->timedOut) {
      status = kCaptureTimeout;
    } else if (status != kCaptureAborted && error != nullptr) {
      std::fprintf(stderr, "scanner %s: capture failed: %s\n", op->dev->info.id.c_str(),
                   error->message);
    }
    g_clear_error(&error);
    self->FinishCapture(op, status);
  }

  static void FinishCapture(const std::shared_ptr<CaptureOp>& op, int32_t status) {
    if (op->timeout != nullptr) {
      g_source_destroy(op->timeout);
      g_source_unref(op->timeout);
      op->timeout = nullptr;
    }
    op->completion.Finish(status);
  }
};

LibfprintDriver::LibfprintDriver() : impl_(std::make_unique<Impl>()) {
  Impl* impl = impl_.get();
  impl->context = g_main_context_ref(g_main_context_default());
  impl->loop = g_main_loop_new(impl->context, FALSE);
  std::promise<void> ready;
  std::future<void> started = ready.get_future();
  impl->thread = std::thread([impl, &ready] {
    g_main_context_acquire(impl->context);
    impl->fp = fp_context_new();
    g_signal_connect(impl->fp, "device-added",
                     G_CALLBACK(+[](FpContext*, FpDevice* device, gpointer data) {
                       static_cast<Impl*>(data)->Add(device);
                     }),
                     impl);
    g_signal_connect(impl->fp, "device-removed",
                     G_CALLBACK(+[](FpContext*, FpDevice* device, gpointer data) {
                       static_cast<Impl*>(data)->Remove(device);
                     }),
                     impl);
    fp_context_enumerate(impl->fp);
    GPtrArray* list = fp_context_get_devices(impl->fp);
    for (guint i = 0; list != nullptr && i < list->len; ++i) {
      impl->Add(FP_DEVICE(g_ptr_array_index(list, i)));
    }
    impl->enumerated = true;
    ready.set_value();
    g_main_loop_run(impl->loop);
    // Shutting down: every device the core had open is closed by now.
    std::map<std::string, std::shared_ptr<Device>> devices;
    {
      std::lock_guard lock(impl->mutex);
      devices.swap(impl->devices);
      impl->order.clear();
    }
    for (auto& [key, dev] : devices) {
      Impl::Release(*dev);
    }
    g_signal_handlers_disconnect_by_data(impl->fp, impl);
    g_clear_object(&impl->fp);
    // Let the last closes and disposals run their idle callbacks.
    while (g_main_context_iteration(impl->context, FALSE)) {
    }
    g_main_context_release(impl->context);
  });
  started.wait();
  impl->eventThread = std::thread([impl] { impl->RunEvents(); });
}

LibfprintDriver::~LibfprintDriver() {
  {
    std::lock_guard lock(impl_->eventMutex);
    impl_->stopping = true;
    impl_->eventReady.notify_all();
  }
  impl_->eventThread.join();
  std::vector<std::string> open;
  {
    std::lock_guard lock(impl_->mutex);
    open = impl_->order;
  }
  for (const std::string& key : open) {
    Close(key);
  }
  // Quit from inside the loop: a quit that came before g_main_loop_run started would be lost.
  GMainLoop* loop = impl_->loop;
  impl_->Invoke([loop] { g_main_loop_quit(loop); });
  impl_->thread.join();
  g_main_loop_unref(impl_->loop);
  g_main_context_unref(impl_->context);
}

std::vector<DriverDevice> LibfprintDriver::Enumerate() {
  std::vector<DriverDevice> list;
  std::lock_guard lock(impl_->mutex);
  for (const std::string& key : impl_->order) {
    list.push_back(impl_->devices.at(key)->info);
  }
  return list;
}

void LibfprintDriver::SetEventSink(EventSink sink) {
  std::lock_guard lock(impl_->sinkMutex);
  impl_->sink = std::move(sink);
}

int32_t LibfprintDriver::Open(const std::string& key) {
  std::shared_ptr<Device> dev = impl_->Find(key);
  if (!dev) {
    return kDeviceRemoved;
  }
  auto completion = std::make_shared<Completion>();
  impl_->Invoke([dev, completion] {
    if (dev->device == nullptr) {
      completion->Finish(kDeviceRemoved);
      return;
    }
    if (dev->open) {
      completion->Finish(kOk);
      return;
    }
    struct Call {
      std::shared_ptr<Device> dev;
      std::shared_ptr<Completion> completion;
    };
    fp_device_open(
        dev->device, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<Call> call(static_cast<Call*>(data));
          GError* error = nullptr;
          int32_t status = kOk;
          if (!fp_device_open_finish(FP_DEVICE(source), result, &error) &&
              !g_error_matches(error, FP_DEVICE_ERROR, FP_DEVICE_ERROR_ALREADY_OPEN)) {
            status = StatusOfError(error);
            std::fprintf(stderr, "scanner %s: cannot open: %s\n", call->dev->info.id.c_str(),
                         error->message);
          }
          g_clear_error(&error);
          call->dev->open = status == kOk;
          call->completion->Finish(status);
        },
        new Call{dev, completion});
  });
  return completion->Wait();
}

void LibfprintDriver::Close(const std::string& key) {
  std::shared_ptr<Device> dev = impl_->Find(key);
  if (!dev) {
    return;
  }
  auto completion = std::make_shared<Completion>();
  impl_->Invoke([dev, completion] {
    if (dev->device == nullptr || !dev->open) {
      completion->Finish(kOk);
      return;
    }
    dev->open = false;
    fp_device_close(
        dev->device, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<std::shared_ptr<Completion>> c(
              static_cast<std::shared_ptr<Completion>*>(data));
          GError* error = nullptr;
          fp_device_close_finish(FP_DEVICE(source), result, &error);
          g_clear_error(&error);
          (*c)->Finish(kOk);
        },
        new std::shared_ptr<Completion>(completion));
  });
  completion->Wait();
}

int32_t LibfprintDriver::Capture(const std::string& key, CaptureMode, const CaptureSettings&,
                                 DriverClock::time_point deadline, CaptureCancel& cancel,
                                 Frame* frame) {
  std::shared_ptr<Device> dev = impl_->Find(key);
  if (!dev) {
    return kDeviceRemoved;
  }
  if (frame == nullptr) {
    return kInvalidParameter;
  }
  auto op = std::make_shared<CaptureOp>();
  op->dev = dev;
  op->cancellable = g_cancellable_new();
  Impl* impl = impl_.get();
  impl->Invoke([impl, op, deadline] {
    if (deadline != DriverClock::time_point::max()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - DriverClock::now());
      op->timeout = g_timeout_source_new(static_cast<guint>(std::max<int64_t>(0, left.count())));
      auto* weak = new std::weak_ptr<CaptureOp>(op);
      g_source_set_callback(
          op->timeout,
          [](gpointer data) -> gboolean {
            if (auto o = static_cast<std::weak_ptr<CaptureOp>*>(data)->lock()) {
              o->timedOut = true;
              g_cancellable_cancel(o->cancellable);
            }
            return G_SOURCE_REMOVE;
          },
          weak, [](gpointer data) { delete static_cast<std::weak_ptr<CaptureOp>*>(data); });
      g_source_attach(op->timeout, impl->context);
    }
    impl->StartCapture(op);
  });
  // AbortCapturing and unplugging cancel on the GLib thread, where libfprint expects it.
  const int token = cancel.Subscribe([impl, op] {
    g_main_context_invoke_full(
        impl->context, G_PRIORITY_HIGH,
        [](gpointer data) -> gboolean {
          g_cancellable_cancel(static_cast<std::shared_ptr<CaptureOp>*>(data)->get()->cancellable);
          return G_SOURCE_REMOVE;
        },
        new std::shared_ptr<CaptureOp>(op),
        [](gpointer data) { delete static_cast<std::shared_ptr<CaptureOp>*>(data); });
  });
  const int32_t status = op->completion.Wait();
  cancel.Unsubscribe(token);
  if (status == kOk) {
    *frame = std::move(op->frame);
  }
  return status;
}

int32_t LibfprintDriver::FingerOn(const std::string& key, bool* on) {
  std::shared_ptr<Device> dev = impl_->Find(key);
  if (!dev) {
    return kDeviceRemoved;
  }
  *on = dev->fingerPresent.load();
  return kOk;
}

}  // namespace devicelib
