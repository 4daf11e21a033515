// Run-time loading of the PipeWire client library for the video stream.
#pragma once

struct PipeWireApi;

// Opens the library and fills all 24 entries; 0 on success, -1 (and a null
// handle slot) otherwise.
int LoadPipeWireLibrary(void **handleSlot, PipeWireApi *api);
void UnloadPipeWireLibrary(void *handle);
