// Registration of outputs and the calls that act on all of them.
#include <algorithm>
#include <cstring>

#include "lib/log/log_file_output.h"
#include "lib/log/log_state.h"

namespace {

bool KnownType(uint32_t type) {
  switch (type) {
    case kLogOutputTypeFile:
    case kLogOutputType23456:
    case kLogOutputType34567:
    case kLogOutputType45678:
    case kLogOutputType56789:
      return true;
    default:
      return false;
  }
}

// Whether an output of type newType may not join one of type registered.
bool RefusedBy(uint32_t newType, uint32_t registered) {
  switch (newType) {
    case kLogOutputTypeFile:
    case kLogOutputType34567:
      return registered == kLogOutputType45678 || registered == kLogOutputType56789;
    case kLogOutputType23456:
      return registered == kLogOutputType23456 || registered == kLogOutputType45678 ||
             registered == kLogOutputType56789;
    case kLogOutputType45678:
      return registered != kLogOutputType45678;
    case kLogOutputType56789:
      return true;
    default:
      return false;
  }
}

bool SameName(const LogOutput *a, const LogOutput *b) {
  if (a->name == nullptr || b->name == nullptr) {
    return a->name == b->name;
  }
  return strcmp(a->name, b->name) == 0;
}

int IndexOf(const LogOutput *output) {
  LogState &s = LogTheState();
  for (int i = 0; i < s.outputCount; i++) {
    if (s.outputs[i] == output) {
      return i;
    }
  }
  return -1;
}

void Destroy(LogOutput *output) {
  if (output->ops != nullptr && output->ops->destroy != nullptr) {
    output->ops->destroy(output);
  }
}

}  // namespace

void LogRecomputeGlobal() {
  LogState &s = LogTheState();
  if (s.outputCount == 0) {
    LogStoreLevel(s.global.logLevel, kLogInfo);
    LogStoreLevel(s.global.stderrLevel, -1);
    return;
  }
  int32_t fileLevel = -1;
  for (int i = 0; i < s.outputCount; i++) {
    fileLevel = std::max(fileLevel, s.outputs[i]->fileLevel);
  }
  LogStoreLevel(s.global.logLevel, fileLevel);
  LogStoreLevel(s.global.stderrLevel, s.outputs[0]->stderrLevel);
}

bool Log_AddOutput(LogOutput *output) {
  LogErrnoKeeper keepErrno;
  if (output == nullptr || output->ops == nullptr || output->ops->open == nullptr ||
      output->ops->log == nullptr) {
    return false;
  }
  LogState &s = LogTheState();
  output->state = &s;
  if (!output->ops->open(output)) {
    return false;
  }
  LogLockHolder holder;
  if (s.outputCount >= kLogMaxOutputs) {
    return false;
  }
  for (int i = 0; i < s.outputCount; i++) {
    const LogOutput *other = s.outputs[i];
    if (other == output || (other->type == output->type && SameName(other, output)) ||
        !KnownType(other->type) || RefusedBy(output->type, other->type)) {
      return false;
    }
  }
  s.outputs[s.outputCount++] = output;
  LogRecomputeGlobal();
  if (s.outputCount == 1) {
    LogFlushRing();
  }
  return true;
}

bool Log_ReplaceOutput(LogOutput *oldOutput, LogOutput *newOutput, bool copyOver) {
  LogErrnoKeeper keepErrno;
  if (oldOutput == nullptr) {
    return false;
  }
  LogState &s = LogTheState();
  {
    LogLockHolder holder;
    int index = IndexOf(oldOutput);
    if (index < 0) {
      return false;
    }
    if (newOutput == nullptr) {
      s.outputs[index] = s.outputs[s.outputCount - 1];
      s.outputs[--s.outputCount] = nullptr;
    } else {
      if (IndexOf(newOutput) >= 0 || newOutput->type != oldOutput->type ||
          !SameName(newOutput, oldOutput) || newOutput->ops == nullptr ||
          newOutput->ops->open == nullptr || newOutput->ops->log == nullptr) {
        return false;
      }
      newOutput->state = &s;
      if (!newOutput->ops->open(newOutput)) {
        return false;
      }
      if (copyOver && oldOutput->type == kLogOutputTypeFile) {
        LogFileOutputCopyContent(oldOutput, newOutput);
      }
      s.outputs[index] = newOutput;
    }
    LogRecomputeGlobal();
  }
  Destroy(oldOutput);
  return true;
}

bool Log_FreeOutput(LogOutput *output) {
  LogErrnoKeeper keepErrno;
  if (output == nullptr) {
    return false;
  }
  {
    LogLockHolder holder;
    if (IndexOf(output) >= 0) {
      return false;
    }
  }
  Destroy(output);
  return true;
}

int Log_SetOutputLevel(LogOutput *output, int level) {
  LogErrnoKeeper keepErrno;
  if (output == nullptr) {
    return -1;
  }
  LogLockHolder holder;
  int previous = output->fileLevel;
  output->fileLevel = level;
  LogRecomputeGlobal();
  return previous;
}

const char *Log_GetFileName(void) {
  LogErrnoKeeper keepErrno;
  LogState &s = LogTheState();
  LogLockHolder holder;
  for (int i = 0; i < s.outputCount; i++) {
    if (s.outputs[i]->type == kLogOutputTypeFile) {
      return LogFileOutputFileName(s.outputs[i]);
    }
  }
  return nullptr;
}

void Log_DisableThrottling(void) {
  LogErrnoKeeper keepErrno;
  LogState &s = LogTheState();
  LogLockHolder holder;
  for (int i = 0; i < s.outputCount; i++) {
    if (s.outputs[i]->ops->disableThrottling != nullptr) {
      s.outputs[i]->ops->disableThrottling(s.outputs[i]);
    }
  }
}

void Log_Reset(void) {
  LogErrnoKeeper keepErrno;
  LogState &s = LogTheState();
  LogOutput *removed[kLogMaxOutputs] = {};
  int count;
  {
    LogLockHolder holder;
    count = s.outputCount;
    for (int i = 0; i < count; i++) {
      removed[i] = s.outputs[i];
      s.outputs[i] = nullptr;
    }
    s.outputCount = 0;
    s.lockCreating.store(0, std::memory_order_release);
    s.opIdFunction.store(nullptr, std::memory_order_release);
  }
  s.bypass.store(false, std::memory_order_release);
  s.depth.store(0, std::memory_order_relaxed);
  for (int i = 0; i < count; i++) {
    Destroy(removed[i]);
  }
}

bool Log_HasOutputs(void) {
  LogErrnoKeeper keepErrno;
  LogLockHolder holder;
  return LogTheState().outputCount > 0;
}

void Log_BypassLocking(bool bypass) {
  LogTheState().bypass.store(bypass, std::memory_order_release);
}

void Log_RegisterOpIdFunction(LogOpIdFunction fn) {
  LogErrnoKeeper keepErrno;
  LogLockHolder holder;
  LogTheState().opIdFunction.store(fn, std::memory_order_release);
}
