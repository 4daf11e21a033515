// Pieces of one screen cast attempt shared between the capture sources.
#pragma once

#include <gio/gio.h>

struct ScreenCastContext;

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
struct spa_pod;
struct spa_pod_builder;
const spa_pod *BuildVideoFormatParam(spa_pod_builder *builder);
void BuildBufferParams(spa_pod_builder *builder, const spa_pod *params[2]);
