// Input injection through the compositor's RemoteDesktop API and libei.
#pragma once

#include <cstdint>

#include "agent/channel_message.h"

struct ei_device;

// RemoteDesktop session + EIS connection; the result is read back through
// GetEisFd (-1 on failure).
void Init(void);
int GetEisFd(void);
void SetDisconnectFd(int fd);
// Dispatches pending libei events; the four slots are in/out.
void HandleEvents(ei_device **ptr, ei_device **kbd, ei_device **abs, ei_device **touch);
void LogDeviceRegions(ei_device *device);
void InjectMouseEvent(const MouseRecord *record, ei_device *abs,
                      uint16_t *lastButtons, uint16_t *lastButtonMask);
void InjectKeyEvent(ei_device *kbd, uint16_t vscancode, uint8_t pressed);
// Entry of the thread "inputEvent"; data is the RemoteContext.
void InputEventThread(void *data);
