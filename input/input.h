// Input injection through the compositor's RemoteDesktop API and libei.
//
// The input event thread creates and releases the libei context and the
// devices; the remote routine's thread injects through them. One lock,
// internal to this module, covers Init, HandleEvents and each injection, so
// the injections take the device *slots* (not the devices) and read them
// under that lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/channel_message.h"

struct ei_device;

// RemoteDesktop session + EIS connection; the result is read back through
// GetEisFd (-1 on failure). Runs on the input event thread.
void Init(void);
int GetEisFd(void);
void SetDisconnectFd(int fd);
// The input event thread's eventfd (written when queued input waits for
// room on the EIS socket) and the flag that ends Init's D-Bus calls early.
void SetInputStopWatch(int wakeFd, const std::atomic<bool> *stopFlag);
// Dispatches pending libei events; the four slots are in/out.
void HandleEvents(ei_device **ptr, ei_device **kbd, ei_device **abs, ei_device **touch);
void LogDeviceRegions(ei_device *device);
// abs and kbd are the addresses of RemoteContext's slots; they are read
// under the input lock, and so are lastButtons/lastButtonMask. Input that
// cannot go out now (no emulating device, a reconnect, a full EIS socket)
// is queued in order and sent by whichever thread next finds the way clear.
void InjectMouseEvent(const MouseRecord *record, ei_device **abs,
                      uint16_t *lastButtons, uint16_t *lastButtonMask);
void InjectKeyEvent(ei_device **kbd, uint16_t vscancode, uint8_t pressed);
// True while queued input waits only for room on the EIS socket. The input
// event thread asks before each poll; until it asks again, the injections
// take it that it polls for room as the answer said, and wake it only when
// a wait begins that it has not seen.
bool QueuedInputWaitsForRoom(void);
// Sends what the queue holds, as far as the devices and the socket allow.
void SendQueuedInput(void);
// Entry of the thread "inputEvent"; data is the RemoteContext.
void InputEventThread(void *data);
