// Product information for the log file header and the cached host
// description.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "lib/log/log_output.h"
#include "lib/misc/hostinfo.h"

namespace {

std::atomic<char *> productApp{nullptr};
std::atomic<char *> productVersion{nullptr};
std::atomic<char *> productBuild{nullptr};
std::atomic<char *> productOption{nullptr};
std::atomic<char *> hostDescription{nullptr};

// Stores a copy of text unless the slot already holds one: the first caller
// wins and a loser frees its copy.
void StoreOnce(std::atomic<char *> &slot, const char *text) {
  if (text == nullptr || slot.load(std::memory_order_acquire) != nullptr) {
    return;
  }
  char *copy = strdup(text);
  if (copy == nullptr) {
    return;
  }
  char *expected = nullptr;
  if (!slot.compare_exchange_strong(expected, copy, std::memory_order_acq_rel)) {
    free(copy);
  }
}

}  // namespace

void Log_SetProductInfo(const char *appName, const char *version, const char *buildNumber,
                        const char *buildOption) {
  StoreOnce(productApp, appName);
  StoreOnce(productVersion, version);
  StoreOnce(productBuild, buildNumber);
  StoreOnce(productOption, buildOption);
}

void LogGetProductInfo(const char **appName, const char **version, const char **buildNumber,
                       const char **buildOption) {
  *appName = productApp.load(std::memory_order_acquire);
  *version = productVersion.load(std::memory_order_acquire);
  *buildNumber = productBuild.load(std::memory_order_acquire);
  *buildOption = productOption.load(std::memory_order_acquire);
}

const char *Log_HostDescription(void) {
  char *cached = hostDescription.load(std::memory_order_acquire);
  if (cached != nullptr) {
    return cached;
  }
  char *mine = Hostinfo_OSDetailedData();
  if (mine == nullptr) {
    mine = strdup("unknown");
    if (mine == nullptr) {
      return "unknown";
    }
  }
  char *expected = nullptr;
  if (hostDescription.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) {
    return mine;
  }
  free(mine);
  return expected;
}
