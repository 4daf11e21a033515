// Owners for the GLib things that g_autoptr does not cover: a D-Bus signal
// subscription and a GObject signal handler, each undone when its owner goes.
// (References and strings use g_autoptr / g_autofree, or GRef below when they
// live in a struct.)
#pragma once

#include <gio/gio.h>

#include <utility>

// One reference to a GObject, released on destruction unless taken.
template <typename T>
class GRef {
 public:
  GRef() = default;
  explicit GRef(T *object) : object_(object) {}  // adopts the reference
  ~GRef() { reset(); }
  GRef(GRef &&other) noexcept : object_(other.release()) {}
  GRef &operator=(GRef &&other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  GRef(const GRef &) = delete;
  GRef &operator=(const GRef &) = delete;

  T *get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  T *release() { return std::exchange(object_, nullptr); }
  void reset(T *object = nullptr) {
    if (T *old = std::exchange(object_, object)) g_object_unref(old);
  }

 private:
  T *object_ = nullptr;
};

// A g_dbus_connection_signal_subscribe id, unsubscribed on destruction. It
// holds a reference to its connection, so the unsubscribe always finds it.
class BusSubscription {
 public:
  BusSubscription() = default;
  BusSubscription(GDBusConnection *connection, guint id)
      : connection_(id != 0 ? G_DBUS_CONNECTION(g_object_ref(connection)) : nullptr), id_(id) {}
  ~BusSubscription() { reset(); }
  BusSubscription(BusSubscription &&other) noexcept
      : connection_(std::move(other.connection_)), id_(std::exchange(other.id_, 0)) {}
  BusSubscription &operator=(BusSubscription &&other) noexcept {
    if (this != &other) {
      reset();
      connection_ = std::move(other.connection_);
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  BusSubscription(const BusSubscription &) = delete;
  BusSubscription &operator=(const BusSubscription &) = delete;

  guint id() const { return id_; }
  void reset() {
    if (id_ != 0) g_dbus_connection_signal_unsubscribe(connection_.get(), id_);
    id_ = 0;
    connection_.reset();
  }

 private:
  GRef<GDBusConnection> connection_;
  guint id_ = 0;
};

// A g_signal_connect handler id, disconnected on destruction. The instance
// must outlive the owner (it holds no reference of its own).
class SignalHandler {
 public:
  SignalHandler() = default;
  SignalHandler(gpointer instance, gulong id) : instance_(instance), id_(id) {}
  ~SignalHandler() { reset(); }
  SignalHandler(SignalHandler &&other) noexcept
      : instance_(std::exchange(other.instance_, nullptr)), id_(std::exchange(other.id_, 0)) {}
  SignalHandler &operator=(SignalHandler &&other) noexcept {
    if (this != &other) {
      reset();
      instance_ = std::exchange(other.instance_, nullptr);
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  SignalHandler(const SignalHandler &) = delete;
  SignalHandler &operator=(const SignalHandler &) = delete;

  void reset() {
    if (id_ != 0) g_signal_handler_disconnect(instance_, id_);
    id_ = 0;
    instance_ = nullptr;
  }

 private:
  gpointer instance_ = nullptr;
  gulong id_ = 0;
};

// A source attached to a main context, destroyed (and released) with its
// owner, so its callback can no longer run once the owner is gone.
class AttachedSource {
 public:
  AttachedSource() = default;
  explicit AttachedSource(GSource *source) : source_(source) {}  // adopts the reference
  ~AttachedSource() { reset(); }
  AttachedSource(AttachedSource &&other) noexcept : source_(std::exchange(other.source_, nullptr)) {}
  AttachedSource &operator=(AttachedSource &&other) noexcept {
    if (this != &other) {
      reset();
      source_ = std::exchange(other.source_, nullptr);
    }
    return *this;
  }
  AttachedSource(const AttachedSource &) = delete;
  AttachedSource &operator=(const AttachedSource &) = delete;

  GSource *get() const { return source_; }
  void reset() {
    if (GSource *old = std::exchange(source_, nullptr)) {
      g_source_destroy(old);
      g_source_unref(old);
    }
  }

 private:
  GSource *source_ = nullptr;
};
