// Owners of libei references: a seat, a device or an event is released
// when its owner goes; the sender context has an owner of its own because
// of when it may be released.
#pragma once

#include <libei-1.0/libei.h>

#include <utility>

#include "base/c_owner.h"

// One libei reference each, released with its unref function when the
// owner goes. They adopt what they are given: reset(ei_device_ref(d))
// keeps a reference of its own to something borrowed.
using EiSeat = COwner<ei_seat, ei_seat_unref>;
using EiDevice = COwner<ei_device, ei_device_unref>;
using EiEvent = COwner<ei_event, ei_event_unref>;

// The sender context. libei 1.3 crashes when a context is released while
// its handshake with the compositor is still under way (the backend took
// the socket, and neither EI_EVENT_CONNECT nor EI_EVENT_DISCONNECT came
// yet). Such a context is deliberately never released: a small leak,
// once per compositor that hangs in the handshake, instead of a crash.
// Every other context is released when its owner lets go of it.
class EiContext {
 public:
  EiContext() = default;
  ~EiContext() { reset(); }
  EiContext(const EiContext &) = delete;
  EiContext &operator=(const EiContext &) = delete;

  ei *get() const { return context_; }
  explicit operator bool() const { return context_ != nullptr; }

  // Adopts a new context (releasing the one held, as reset() does).
  void reset(ei *adopted = nullptr) {
    ei *old = std::exchange(context_, adopted);
    if (old != nullptr && !handshakePending_) ei_unref(old);
    handshakePending_ = false;
  }
  // The backend took the socket: the handshake runs from here on.
  void HandshakeStarted() { handshakePending_ = true; }
  // EI_EVENT_CONNECT or EI_EVENT_DISCONNECT came: the handshake is over.
  void HandshakeEnded() { handshakePending_ = false; }
  bool handshakePending() const { return handshakePending_; }

 private:
  ei *context_ = nullptr;
  bool handshakePending_ = false;
};
