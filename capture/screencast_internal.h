// The inside of a screen capture: the screen cast thread, its two phases and
// the PipeWire stream callbacks. Used by capture/'s own sources, by the
// capture tests and by the fuzzer; the agent goes through ScreenCapture.
#pragma once

#include <gio/gio.h>

#include "capture/screencast_context.h"

struct spa_pod;
struct spa_pod_builder;

// Entry of the thread "capture": retries screen-cast attempts until
// stopRequested is set. data is the ScreenCastContext. Before starting it the
// owner sets connector, screenFds, cursorFds and clears stopRequested.
void ScreenCastThreadMain(void *data);
// One attempt: the D-Bus session phase, then the stream phase. true when the
// stream phase reached its poll loop.
bool RunScreenCastAttempt(ScreenCastContext *ctx);
// Quits the session phase's main loop of the current attempt, if any. Safe
// from any thread, also while the loop is being created, run or released.
void ScreenCastRequestQuit(ScreenCastContext *ctx);
// Sets stopRequested, cancels the pending D-Bus calls, quits the session
// phase's loop and wakes the stream phase's poll loop; the caller then joins
// the screen cast thread.
void ScreenCastRequestStop(ScreenCastContext *ctx);

// The D-Bus session phase: true once a node id was received. Whatever it
// made (main context, subscriptions, the compositor's session) is kept in
// the context for the stream phase, pass or fail, until EndSession.
bool RunSessionPhase(ScreenCastContext *ctx);
// Ends what the session phase made: stops the compositor's session unless
// the compositor already ended it (best effort, bounded), removes the signal
// subscriptions and releases the attempt's main context. Safe to call when
// the session phase made nothing.
void EndSession(ScreenCastContext *ctx);
// Wakes the screen cast thread's wait (any thread): the stream phase's poll
// loop, to look again at stopRequested, streamClosed and streaming, or the
// pause between attempts. Whoever changes one of those calls it.
void WakeAttempt(ScreenCastContext *ctx);
// Marks the attempt closed and wakes the poll loop.
void CloseAttempt(ScreenCastContext *ctx);
// The PipeWire stream phase, on the attempt's main context. true when the
// poll loop was reached.
bool RunStreamPhase(ScreenCastContext *ctx);

// Builds the parameters offered to PipeWire into buffer; used by the stream
// set-up and by on_param_changed.
const spa_pod *BuildVideoFormatParam(spa_pod_builder *builder);
void BuildBufferParams(spa_pod_builder *builder, const spa_pod *params[2]);

// The stream's callbacks and the frame path.
void on_process(void *data);
void on_param_changed(void *data, uint32_t id, const spa_pod *param);
void on_state_changed(void *data, pw_stream_state old, pw_stream_state state,
                      const char *error);
void on_remove_buffer(void *data, pw_buffer *buffer);
void *ProcessWorker(void *data);
// Processes one buffer; the caller returns it to PipeWire afterwards.
void ProcessBuffer(ScreenCastContext *ctx, pw_buffer *buffer);
