// Pieces of one screen cast attempt shared between the capture sources.
#pragma once

#include <gio/gio.h>

struct ScreenCastContext;

// The D-Bus session phase. Returns the attempt's main context (still the
// thread default, owned by the caller) once a node id was received; null,
// with the context already popped and released, when the phase failed.
GMainContext *RunSessionPhase(ScreenCastContext *ctx);
// The PipeWire stream phase. Pops and releases mainContext before it returns.
// true when the poll loop was reached.
bool RunStreamPhase(ScreenCastContext *ctx, GMainContext *mainContext);
// Builds the parameters offered to PipeWire into buffer; used by the stream
// set-up and by on_param_changed.
struct spa_pod;
struct spa_pod_builder;
const spa_pod *BuildVideoFormatParam(spa_pod_builder *builder);
void BuildBufferParams(spa_pod_builder *builder, const spa_pod *params[2]);
