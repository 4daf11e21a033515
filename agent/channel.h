// The agent's side of the parent channel: connecting the control and audio
// sockets, reading commands, and writing records, frames and cursor updates.
//
// Every writer of a socket passes that socket's write lock; the lock is held
// for one whole message so that records and their payloads of two threads
// never interleave on the wire. Sends never raise SIGPIPE: a parent that
// closed its end shows up as EPIPE.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/channel_message.h"
#include "capture/frame_queue.h"

constexpr size_t kSocketPathSize = 256;
constexpr int kConnectAttempts = 10;
constexpr unsigned kConnectRetryMs = 100;

// Formats the parent's socket path for cardName into path (256 bytes).
// Returns its length.
size_t FormatSocketPath(const char *cardName, char *path);

// Connects the control socket and sends the greeting (type 1 for the login
// screen, 2 for a user session). Returns the socket, or -1 after logging.
int ConnectControlSocket(const char *cardName, bool greeterWorkflow);
// Connects the audio socket (with retries), sends the handshake and makes
// it non-blocking. Returns the socket, or -1 after logging.
int ConnectAudioSocket(const char *cardName);
// The audio socket opened late by a capture start: one connect attempt.
int ConnectDeferredAudioSocket(const char *cardName);

// Connects an AF_UNIX stream socket to path, retrying while the listener is
// missing or refusing (ENOENT, ECONNREFUSED) or on EINTR, every retryMs, up
// to attempts times in all. Returns 0, or -1 with errno set.
int ConnectUnixSocket(int fd, const char *path, int attempts, unsigned retryMs);

// Reads exactly one record. Returns sizeof(ChannelMessage), or -1 with errno
// set (ECONNRESET when the stream ends early).
ssize_t ReceiveChannelMessage(int fd, ChannelMessage *msg);

// Writes one whole record under writeLock. Returns 0, or -1 with errno set.
int SendChannelMessage(int fd, std::mutex &writeLock, const ChannelMessage &msg);

// Sends a REMOTE_ERROR; a failure is logged and otherwise ignored.
void SendErrorMessage(int fd, std::mutex &writeLock, const char *text, int32_t code);

// Sends the REMOTE_LOGOUT notice. Returns 0 or -1.
int SendLogoutMessage(int fd, std::mutex &writeLock);

// A REMOTE_SCREEN_BUFFER record and its pixels in one gather write.
int SendScreenBuffer(int fd, std::mutex &writeLock, const CaptureFrame *frame);
// A REMOTE_CURSOR_BUFFER record, with the bitmap only when withBitmap (the
// shape changed).
int SendCursorBuffer(int fd, std::mutex &writeLock, const CursorUpdate *update, bool withBitmap);

// Writes every byte of the parts in order, advancing over partial writes and
// retrying EINTR. Returns 0, or -1 with errno set. Used for frames, cursor
// updates and records.
int SendAll(int fd, struct iovec *parts, int count);
