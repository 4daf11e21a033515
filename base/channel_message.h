// The wire format between the agent and its parent: the fixed 972-byte
// ChannelMessage record, the packed 19-byte MouseRecord inside it, and the
// 40-byte header of an audio block. Host byte order on both ends.
#pragma once

#include <cstddef>
#include <cstdint>

enum ChannelMessageType : uint32_t {
  REMOTE_INFO_GREETER = 1,
  REMOTE_INFO_USER = 2,
  REMOTE_CAPTURE_START = 3,
  REMOTE_STOP = 4,
  REMOTE_LOGOUT = 5,
  REMOTE_ERROR = 6,
  REMOTE_MOUSE_EVENT = 7,
  REMOTE_KEY_EVENT = 8,
  REMOTE_SCREEN_BUFFER = 9,
  REMOTE_CURSOR_BUFFER = 10,
  REMOTE_AUDIO_START = 11,
  REMOTE_AUDIO_STOP = 12,
  REMOTE_AUDIO_DATA = 13,
  REMOTE_AUDIO_HANDSHAKE = 14,
};

// Status word of a reply (offset 816).
enum ChannelStatus : uint32_t {
  CHANNEL_STATUS_SUCCESS = 1,
  CHANNEL_STATUS_DBUS_ADDRESS = 2,
  CHANNEL_STATUS_XDG_RUNTIME = 3,
  CHANNEL_STATUS_UID = 4,
  CHANNEL_STATUS_FAILED = 5,
};

constexpr size_t kConnectorNameSize = 32;  // at most 31 characters + NUL
constexpr size_t kErrorTextSize = 256;

#pragma pack(push, 1)
struct MouseRecord {
  uint8_t reserved[5];   // the parent's own; not interpreted by the agent
  int32_t x;             // absolute position
  int32_t y;
  uint32_t buttons;      // bit 0 left, bit 1 right, bit 2 middle
  int8_t wheel;          // scroll steps along y
  int8_t hwheel;         // scroll steps along x
};
#pragma pack(pop)
static_assert(sizeof(MouseRecord) == 19);
static_assert(offsetof(MouseRecord, x) == 5);
static_assert(offsetof(MouseRecord, y) == 9);
static_assert(offsetof(MouseRecord, buttons) == 13);
static_assert(offsetof(MouseRecord, wheel) == 17);
static_assert(offsetof(MouseRecord, hwheel) == 18);

constexpr uint32_t kMouseButtonLeft = 1u << 0;
constexpr uint32_t kMouseButtonRight = 1u << 1;
constexpr uint32_t kMouseButtonMiddle = 1u << 2;

struct ChannelMessage {
  uint32_t type;                          // ChannelMessageType
  char connector[kConnectorNameSize];     // REMOTE_CAPTURE_START
  uint8_t unused36[516];
  char errorText[kErrorTextSize];         // REMOTE_ERROR
  uint8_t logout;                         // REMOTE_LOGOUT: 1 = session ended
  uint8_t unused809[3];
  int32_t errorCode;                      // REMOTE_ERROR
  uint32_t status;                        // replies (ChannelStatus)
  uint8_t unused820[2];
  MouseRecord mouse;                      // REMOTE_MOUSE_EVENT
  uint8_t unused841;
  uint16_t scancode;                      // REMOTE_KEY_EVENT: VScancode
  int8_t keyDown;                         // non-zero = pressed
  uint8_t unused845[3];
  char screenConnector[kConnectorNameSize];  // REMOTE_SCREEN_BUFFER
  uint32_t screenWidth;
  uint32_t screenHeight;
  uint32_t screenBytes;                   // pixel bytes following the record
  uint8_t unused892[4];
  char cursorConnector[kConnectorNameSize];  // REMOTE_CURSOR_BUFFER
  int32_t cursorX;
  int32_t cursorY;
  uint32_t cursorBytes;                   // bitmap bytes following (0 = none)
  uint8_t unused940[4];
  uint32_t cursorWidth;
  uint32_t cursorHeight;
  int32_t cursorHotX;
  int32_t cursorHotY;
  uint32_t cursorId;
  uint8_t unused964[8];
};

static_assert(sizeof(ChannelMessage) == 972);
static_assert(offsetof(ChannelMessage, type) == 0);
static_assert(offsetof(ChannelMessage, connector) == 4);
static_assert(offsetof(ChannelMessage, unused36) == 36);
static_assert(offsetof(ChannelMessage, errorText) == 552);
static_assert(offsetof(ChannelMessage, logout) == 808);
static_assert(offsetof(ChannelMessage, errorCode) == 812);
static_assert(offsetof(ChannelMessage, status) == 816);
static_assert(offsetof(ChannelMessage, mouse) == 822);
static_assert(offsetof(ChannelMessage, scancode) == 842);
static_assert(offsetof(ChannelMessage, keyDown) == 844);
static_assert(offsetof(ChannelMessage, screenConnector) == 848);
static_assert(offsetof(ChannelMessage, screenWidth) == 880);
static_assert(offsetof(ChannelMessage, screenHeight) == 884);
static_assert(offsetof(ChannelMessage, screenBytes) == 888);
static_assert(offsetof(ChannelMessage, cursorConnector) == 896);
static_assert(offsetof(ChannelMessage, cursorX) == 928);
static_assert(offsetof(ChannelMessage, cursorY) == 932);
static_assert(offsetof(ChannelMessage, cursorBytes) == 936);
static_assert(offsetof(ChannelMessage, cursorWidth) == 944);
static_assert(offsetof(ChannelMessage, cursorHeight) == 948);
static_assert(offsetof(ChannelMessage, cursorHotX) == 952);
static_assert(offsetof(ChannelMessage, cursorHotY) == 956);
static_assert(offsetof(ChannelMessage, cursorId) == 960);
static_assert(offsetof(ChannelMessage, unused964) == 964);

struct AudioDataHeader {
  uint32_t type;           // REMOTE_AUDIO_DATA
  uint32_t sampleRate;     // 48000
  uint32_t bitsPerSample;  // 16
  uint32_t containerBits;  // 16
  uint32_t channels;       // 2
  uint8_t unused20[12];
  uint32_t dataBytes;      // sample bytes following the header
  uint8_t unused36[4];
};
static_assert(sizeof(AudioDataHeader) == 40);
static_assert(offsetof(AudioDataHeader, sampleRate) == 4);
static_assert(offsetof(AudioDataHeader, bitsPerSample) == 8);
static_assert(offsetof(AudioDataHeader, containerBits) == 12);
static_assert(offsetof(AudioDataHeader, channels) == 16);
static_assert(offsetof(AudioDataHeader, unused20) == 20);
static_assert(offsetof(AudioDataHeader, dataBytes) == 32);
static_assert(offsetof(AudioDataHeader, unused36) == 36);

// The parent's socket and the per-session files beside it.
#define SIGHTWELL_ENV_DIR "/var/velmora/relayagent/waylandenv"
#define SIGHTWELL_SOCKET_FORMAT SIGHTWELL_ENV_DIR "/wayland-%s.sock"
#define SIGHTWELL_DBUS_ADDRESS_FORMAT SIGHTWELL_ENV_DIR "/dbus_address.%s"
#define SIGHTWELL_XDG_RUNTIME_FORMAT SIGHTWELL_ENV_DIR "/xdg_runtime.%s"
#define SIGHTWELL_UID_FORMAT SIGHTWELL_ENV_DIR "/uid.%s"
