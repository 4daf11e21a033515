// Encoding names and numbers: lookups in the encoding table with a
// process-wide name cache, the preferred name of a number, and the
// process's current encoding.

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "lib/misc/codeset.h"
#include "lib/sig/log_hook.h"
#include "lib/sig/panic.h"
#include "lib/unicode/unicode.h"
#include "lib/unicode/unicodeInt.h"

namespace {

// The name cache: 128 buckets of singly linked nodes. Nodes are only ever
// pushed at a bucket's head (compare-and-swap), so lookups from any thread
// need no lock; a name entered twice by racing threads is harmless.
constexpr size_t kCacheBuckets = 128;

struct CacheNode {
  CacheNode *next;
  int row;
  char name[];  // NUL-terminated
};

std::atomic<CacheNode *> gCache[kCacheBuckets];

size_t CacheBucket(std::string_view name) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char c : name) {
    h = (h ^ c) * 16777619u;
  }
  return h % kCacheBuckets;
}

int CacheFind(const char *name) {
  for (CacheNode *n = gCache[CacheBucket(name)].load(std::memory_order_acquire); n != nullptr;
       n = n->next) {
    if (strcmp(n->name, name) == 0) {
      return n->row;
    }
  }
  return -1;
}

void CacheAdd(const char *name, int row) {
  size_t len = strlen(name);
  auto *node = static_cast<CacheNode *>(malloc(sizeof(CacheNode) + len + 1));
  if (node == nullptr) {
    Panic_MemAllocFailure(__FILE__, __LINE__);
  }
  node->row = row;
  memcpy(node->name, name, len + 1);
  std::atomic<CacheNode *> &head = gCache[CacheBucket(name)];
  node->next = head.load(std::memory_order_relaxed);
  while (!head.compare_exchange_weak(node->next, node, std::memory_order_release,
                                     std::memory_order_relaxed)) {
  }
}

// "windows-<digits>" (or "Windows-"): the row of that Windows code page.
int LookupWindowsCodePage(const char *name) {
  if (strncmp(name, "windows-", 8) != 0 && strncmp(name, "Windows-", 8) != 0) {
    return -1;
  }
  int64_t page = 0;
  for (const char *p = name + 8; *p != '\0'; p++) {
    if (!isdigit(static_cast<unsigned char>(*p))) {
      return -1;
    }
    if (page <= INT32_MAX) {
      page = page * 10 + (*p - '0');
    }
  }
  for (size_t row = 0; row < kEncodingTableRows; row++) {
    if (kEncodingTable[row].winCodePage == page) {
      return static_cast<int>(row);
    }
  }
  return -1;
}

int LookupExact(const char *name) {
  for (size_t row = 0; row < kEncodingTableRows; row++) {
    for (const char *const *alias = kEncodingTable[row].names; *alias != nullptr; alias++) {
      if (strcmp(*alias, name) == 0) {
        return static_cast<int>(row);
      }
    }
  }
  return -1;
}

// Names that differ only in case and punctuation are the same name here.
int LookupLoose(const char *name) {
  size_t len = strlen(name);
  std::unique_ptr<char[]> wanted(new char[len + 1]);
  UnicodeLooseName(name, wanted.get(), len + 1);
  if (wanted[0] == '\0') {
    return -1;
  }
  char alias[128];
  for (size_t row = 0; row < kEncodingTableRows; row++) {
    for (const char *const *a = kEncodingTable[row].names; *a != nullptr; a++) {
      if (UnicodeLooseName(*a, alias, sizeof alias) && strcmp(alias, wanted.get()) == 0) {
        return static_cast<int>(row);
      }
    }
  }
  return -1;
}

}  // namespace

bool UnicodeLooseName(const char *name, char *out, size_t outSize) {
  size_t n = 0;
  for (const char *p = name; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (isalnum(c)) {
      if (n + 1 >= outSize) {
        out[0] = '\0';
        return false;
      }
      out[n++] = static_cast<char>(tolower(c));
    }
  }
  out[n] = '\0';
  return true;
}

int UnicodeIANALookup(const char *name) {
  if (name == nullptr) {
    return -1;
  }
  int row = CacheFind(name);
  if (row >= 0) {
    return row;
  }
  row = LookupWindowsCodePage(name);
  if (row < 0) {
    row = LookupExact(name);
  }
  if (row < 0) {
    row = LookupLoose(name);
  }
  if (row < 0) {
    LogHook_Warning("%s: Did not find an IANA match for encoding \"%s\"\n", "UnicodeIANALookup",
                    name);
    return -1;
  }
  CacheAdd(name, row);
  return row;
}

void UnicodeDestroyNameCache(void) {
  for (std::atomic<CacheNode *> &bucket : gCache) {
    CacheNode *n = bucket.exchange(nullptr, std::memory_order_acq_rel);
    while (n != nullptr) {
      CacheNode *next = n->next;
      free(n);
      n = next;
    }
  }
}

StringEncoding Unicode_EncodingFromName(const char *name) {
  int row = UnicodeIANALookup(name);
  if (row < 0 || !kEncodingTable[row].isSupported) {
    return -ENOENT;
  }
  return kEncodingTable[row].encoding;
}

bool Unicode_NumberIsValid(int32_t number) {
  return number >= 0 && number < kStringEncodingCount;
}

int UnicodeRowOfEncoding(StringEncoding encoding) {
  for (size_t row = 0; row < kEncodingTableRows; row++) {
    if (kEncodingTable[row].encoding == encoding) {
      return static_cast<int>(row);
    }
  }
  return -1;
}

const char *Unicode_EncodingEnumToName(StringEncoding encoding) {
  encoding = Unicode_ResolveEncoding(encoding);
  int row = UnicodeRowOfEncoding(encoding);
  if (row < 0) {
    LogHook_Level(kLogError, "%s: Unknown encoding %d.\n", "Unicode_EncodingEnumToName", encoding);
    NOT_REACHED();
  }
  return kEncodingTable[row].names[kEncodingTable[row].preferredMime];
}

StringEncoding Unicode_GetCurrentEncoding(void) {
  // Decided once: later changes of the environment do not move it.
  static const StringEncoding current = [] {
    int row = UnicodeIANALookup(CodeSet_GetCurrentCodeSet());
    if (row >= 0 && kEncodingTable[row].isSupported) {
      return static_cast<StringEncoding>(kEncodingTable[row].encoding);
    }
    return static_cast<StringEncoding>(STRING_ENCODING_UNKNOWN);
  }();
  return current;
}

StringEncoding Unicode_ResolveEncoding(StringEncoding encoding) {
  return encoding == STRING_ENCODING_DEFAULT ? Unicode_GetCurrentEncoding() : encoding;
}

const char *UnicodeEngineName(StringEncoding encoding) {
  int row = UnicodeRowOfEncoding(encoding);
  if (row < 0) {
    return nullptr;
  }
  const EncodingEntry &e = kEncodingTable[row];
  const char *preferred = e.names[e.preferredMime];
  if (CodeSet_IsNameKnown(preferred)) {
    return preferred;
  }
  for (const char *const *a = e.names; *a != nullptr; a++) {
    if (*a != preferred && CodeSet_IsNameKnown(*a)) {
      return *a;
    }
  }
  return preferred;
}
