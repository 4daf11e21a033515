// The encoding table behind encoding names and numbers.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kEncodingMaxNames = 20;
constexpr size_t kEncodingTableRows = 325;

struct EncodingEntry {
  int32_t mibEnum;      // IANA MIBenum; -1 when the registry has none
  int32_t winCodePage;  // Windows code page; -1 when none
  int32_t encoding;     // encoding number (StringEncoding)
  bool isSupported;     // only supported rows may be converted from or to
  int32_t preferredMime;  // index of the preferred name in names
  const char *names[kEncodingMaxNames + 1];  // ended by nullptr
};

extern const EncodingEntry kEncodingTable[];
