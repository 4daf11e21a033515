// The fake compositor's libeis server: one EIS context on the GLib main loop,
// a client per ConnectToEIS, one seat per client with a keyboard and an
// absolute pointer (button, scroll) whose region is the screen, optionally a
// relative pointer, a touch device, an xkb keymap and a second seat. Devices
// are resumed right after they are added. Fault switches for tests.
#pragma once

#include <cstdint>
#include <string>

struct EisServerOptions {
  int width = 1280;
  int height = 720;
  bool relativePointer = false;
  bool touch = false;
  bool keymap = false;
  bool secondSeat = false;
  uint32_t disconnectAfter = 0;  // input events per client; 0 = never
};

bool EisServerStart(const EisServerOptions &options);
void EisServerStop();

// A new client descriptor for ConnectToEIS, tied to the RemoteDesktop
// session at sessionPath (Session.Stop disconnects it); -errno on failure.
int EisServerAddClient(const std::string &sessionPath);
// Disconnects the client of one session (Session.Stop) or of all.
void EisServerDisconnectSession(const std::string &sessionPath);
void EisServerDisconnectAll();
// Disconnect each client once it sent this many more input events (0 = off).
void EisServerDisconnectAfter(uint32_t events);
// Stops reading the clients for ms milliseconds (as a compositor that
// hangs), then reads on.
void EisServerStall(uint32_t ms);
void EisServerPauseDevices();
void EisServerResumeDevices();
// kind: "keyboard", "absolute", "pointer" or "touch"; false if none exists.
bool EisServerRemoveDevice(const std::string &kind);
// Adds another seat (with the same capabilities) to every connected client.
void EisServerAddSeat(const std::string &name);
uint32_t EisServerClientCount();
uint64_t EisServerInputEventCount();
