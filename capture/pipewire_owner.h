// Owners of the PipeWire objects of one stream attempt. PipeWire is loaded
// at run time, so each owner releases its object through the loaded entry
// points (PipeWireApi) rather than through a linked symbol; the table must
// outlive every owner that holds an object.
#pragma once

#include <pipewire/core.h>
#include <spa/utils/hook.h>

#include <utility>

#include "capture/pipewire_loader.h"

// One PipeWire object, released by Release (a PipeWireApi entry) on reset
// or destruction.
template <typename T, auto Release>
class PipeWireOwner {
 public:
  PipeWireOwner() = default;
  ~PipeWireOwner() { reset(); }
  PipeWireOwner(const PipeWireOwner &) = delete;
  PipeWireOwner &operator=(const PipeWireOwner &) = delete;

  // Adopts object (null is accepted: the owner stays empty).
  void adopt(const PipeWireApi &api, T *object) {
    reset();
    api_ = &api;
    object_ = object;
  }
  T *get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // The object stays visible through get() while it is released: releasing
  // a stream may run its callbacks one last time on PipeWire's data thread,
  // and they look the stream up here.
  void reset() {
    if (object_ != nullptr) {
      (api_->*Release)(object_);
      object_ = nullptr;
    }
  }

 private:
  const PipeWireApi *api_ = nullptr;
  T *object_ = nullptr;
};

using PipeWireThreadLoop = PipeWireOwner<pw_thread_loop, &PipeWireApi::pw_thread_loop_destroy>;
using PipeWireContext = PipeWireOwner<pw_context, &PipeWireApi::pw_context_destroy>;
// Disconnecting the core only detaches the proxies made on it (the
// registry): each must be destroyed by its own owner first.
using PipeWireCore = PipeWireOwner<pw_core, &PipeWireApi::pw_core_disconnect>;

// The stream and its listener. PipeWire removes the listener itself when the
// stream is destroyed, and the listener still hears the last state change
// then, so the hook's storage must outlive the stream: it is declared first.
class PipeWireStream {
 public:
  pw_stream *get() const { return stream_.get(); }
  // Adopts stream (null leaves the owner empty) and listens to it.
  void adopt(const PipeWireApi &api, pw_stream *stream, const pw_stream_events *events,
             void *data) {
    stream_.adopt(api, stream);
    listener_ = spa_hook{};
    if (stream != nullptr) {
      api.pw_stream_add_listener(stream, &listener_, events, data);
    }
  }
  void reset() { stream_.reset(); }

 private:
  spa_hook listener_ = {};
  PipeWireOwner<pw_stream, &PipeWireApi::pw_stream_destroy> stream_;
};

// The registry proxy and its listener; the listener is removed before the
// proxy is destroyed.
class PipeWireRegistry {
 public:
  PipeWireRegistry() = default;
  ~PipeWireRegistry() { reset(); }
  PipeWireRegistry(const PipeWireRegistry &) = delete;
  PipeWireRegistry &operator=(const PipeWireRegistry &) = delete;

  // Adopts registry and listens to it with events; a null registry leaves
  // the owner empty.
  void adopt(const PipeWireApi &api, pw_registry *registry, const pw_registry_events *events,
             void *data) {
    reset();
    if (registry == nullptr) {
      return;
    }
    api_ = &api;
    registry_ = registry;
    listener_ = spa_hook{};
    pw_registry_add_listener(registry_, &listener_, events, data);
  }
  void reset() {
    if (registry_ != nullptr) {
      spa_hook_remove(&listener_);
      api_->pw_proxy_destroy(reinterpret_cast<pw_proxy *>(registry_));
      registry_ = nullptr;
    }
  }

 private:
  const PipeWireApi *api_ = nullptr;
  pw_registry *registry_ = nullptr;
  spa_hook listener_ = {};
};
