// Process-wide panic state shared by the panic paths of this folder.
#pragma once

#include <atomic>
#include <cstdint>

namespace sw::sig {

inline std::atomic<bool> coreDumpOnPanic{true};
inline std::atomic<bool> loopOnPanic{false};
inline std::atomic<uint32_t> panicCount{0};

// Writes all of text to standard error; usable where nothing else is safe.
void WriteStderr(const char *text);

}  // namespace sw::sig
