// Backtrace: the calling thread's stack written to the log, first as raw
// frames with the callee-saved registers, then with symbol locations.
#include <dlfcn.h>

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lib/sig/panic.h"

namespace {

constexpr unsigned kMaxLines = 500;
constexpr unsigned kMaxSkipped = 10;
constexpr size_t kLineChars = 508;

void SW_PRINTF(1, 2) BacktraceLine(const char *fmt, ...) {
  char line[kLineChars + 2];
  va_list args;
  va_start(args, fmt);
  int n = vsnprintf(line, kLineChars + 1, fmt, args);
  va_end(args);
  if (n < 0) {
    return;
  }
  size_t len = strlen(line);
  if (len == 0 || line[len - 1] != '\n') {
    line[len] = '\n';
    line[len + 1] = '\0';
  }
  LogHook_Info("%s", line);
}

// Frame filter shared by both walks: frames below the walk's own start
// (the unwinder's and this file's frames) are skipped, at most a few and
// only before output began; later such a frame means the walk went astray.
enum class FrameVerdict { kSkip, kWrite, kStop };

struct FrameFilter {
  uintptr_t start;
  unsigned skipped = 0;
  unsigned written = 0;

  FrameVerdict Check(uintptr_t cfa) {
    if (written >= kMaxLines) {
      return FrameVerdict::kStop;
    }
    if (cfa < start) {
      if (written == 0 && skipped < kMaxSkipped) {
        skipped++;
        return FrameVerdict::kSkip;
      }
      return FrameVerdict::kStop;
    }
    written++;
    return FrameVerdict::kWrite;
  }
};

unw_word_t Reg(unw_cursor_t *cursor, unw_regnum_t reg) {
  unw_word_t value = 0;
  if (unw_get_reg(cursor, reg, &value) != 0) {
    value = 0;
  }
  return value;
}

// Walks the calling thread's stack through the frame filter and hands each
// frame to be written, with its index and frame address, to write.
template <typename WriteFrame>
void WalkFrames(uintptr_t start, WriteFrame write) {
  unw_context_t context;
  unw_cursor_t cursor;
  if (unw_getcontext(&context) != 0 || unw_init_local(&cursor, &context) != 0) {
    return;
  }
  FrameFilter filter{start};
  unsigned index = 0;
  do {
    unw_word_t cfa = Reg(&cursor, UNW_X86_64_CFA);
    FrameVerdict verdict = filter.Check(cfa);
    if (verdict == FrameVerdict::kStop) {
      break;
    }
    if (verdict == FrameVerdict::kWrite) {
      write(&cursor, index++, cfa);
    }
  } while (unw_step(&cursor) > 0);
}

__attribute__((noinline)) void RegisterWalk(uintptr_t start) {
  WalkFrames(start, [](unw_cursor_t *cursor, unsigned index, unw_word_t cfa) {
    BacktraceLine("Backtrace[%u] %016lx rip=%016lx rbx=%016lx rbp=%016lx r12=%016lx "
                  "r13=%016lx r14=%016lx r15=%016lx\n",
                  index, cfa, Reg(cursor, UNW_REG_IP), Reg(cursor, UNW_X86_64_RBX),
                  Reg(cursor, UNW_X86_64_RBP), Reg(cursor, UNW_X86_64_R12),
                  Reg(cursor, UNW_X86_64_R13), Reg(cursor, UNW_X86_64_R14),
                  Reg(cursor, UNW_X86_64_R15));
  });
}

__attribute__((noinline)) void SymbolWalk(uintptr_t start) {
  WalkFrames(start, [](unw_cursor_t *cursor, unsigned index, unw_word_t cfa) {
    unw_word_t ip = Reg(cursor, UNW_REG_IP);
    // The enclosing function's start resolves even where the instruction
    // pointer itself falls between exported symbols.
    Dl_info info{};
    bool found = false;
    unw_proc_info_t proc{};
    if (unw_get_proc_info(cursor, &proc) == 0 && proc.start_ip != 0) {
      found = dladdr(reinterpret_cast<void *>(proc.start_ip), &info) != 0;
    }
    if (!found) {
      found = dladdr(reinterpret_cast<void *>(ip), &info) != 0;
    }
    if (found) {
      BacktraceLine("SymBacktrace[%u] %016lx rip=%016lx in function %s in object %s "
                    "loaded at %016lx\n",
                    index, cfa, ip, info.dli_sname != nullptr ? info.dli_sname : "??",
                    info.dli_fname != nullptr ? info.dli_fname : "??",
                    reinterpret_cast<unsigned long>(info.dli_fbase));
    } else {
      BacktraceLine("SymBacktrace[%u] %016lx rip=%016lx \n", index, cfa, ip);
    }
  });
}

}  // namespace

void Backtrace(int bugNr) {
  if (bugNr == 0) {
    BacktraceLine("Backtrace:\n");
  } else {
    BacktraceLine("Backtrace for bugNr=%d\n", bugNr);
  }
  uintptr_t start = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  RegisterWalk(start);
  SymbolWalk(start);
  // No tail call: the second walk must see this frame as the first did.
  asm volatile("" ::: "memory");
}
