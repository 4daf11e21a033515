// Host operating-system identification. Everything is computed in one pass
// (HostinfoOSData) and the first successful result is kept for the life of
// the process; the kernel version record is computed separately because
// its failure is fatal while identification failures are not.

#include "lib/misc/hostinfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "lib/misc/hostinfo_internal.h"
#include "lib/sig/log_hook.h"
#include "lib/sig/panic.h"

namespace {

constexpr const char *kFieldNames[kHostinfoFieldCount] = {
    "bitness",     "buildNumber", "cpeString",     "distroAddlVersion", "distroName",
    "distroVersion", "familyName", "kernelVersion", "prettyName",       "version",
};

// Lines of distribution files are read in pieces of this size (one byte of
// it for the terminator), like a fixed fgets buffer.
constexpr size_t kLineSize = 1024;
// Distribution files are small; anything past this is not looked at.
constexpr size_t kMaxDistroFileSize = 1 << 20;

constexpr const char *kLsbKeys[] = {"DISTRIB_ID=", "DISTRIB_RELEASE=", "DISTRIB_CODENAME=",
                                    "DISTRIB_DESCRIPTION="};
enum { kLsbId, kLsbRelease, kLsbCodename, kLsbDescription, kLsbKeyCount };

constexpr const char *kOsReleaseKeys[] = {"PRETTY_NAME=", "NAME=",    "VERSION_ID=",
                                          "BUILD_ID=",    "VERSION=", "CPE_NAME="};
enum { kOsPrettyName, kOsName, kOsVersionId, kOsBuildId, kOsVersion, kOsCpeName, kOsKeyCount };

// Distribution files tried in order when lsb_release gives no description.
constexpr const char *kDistroFiles[] = {
    "/etc/altlinux-release",   "/etc/annvix-release",       "/etc/arch-release",
    "/etc/arklinux-release",   "/etc/asianux-release",      "/etc/aurox-release",
    "/etc/blackcat-release",   "/etc/cobalt-release",       "/etc/centos-release",
    "/etc/conectiva-release",  "/etc/debian_release",       "/etc/debian_version",
    "/etc/fedora-release",     "/etc/gentoo-release",       "/etc/immunix-release",
    "/etc/knoppix_version",    "/etc/lfs-release",          "/etc/linuxppc-release",
    "/etc/mandrakelinux-release", "/etc/mandrake-release",  "/etc/mandriva-release",
    "/etc/mklinux-release",    "/etc/nld-release",          "/etc/oracle-release",
    "/etc/pld-release",        "/etc/redhat-release",       "/etc/redhat_version",
    "/etc/slackware-release",  "/etc/slackware-version",    "/etc/e-smith-release",
    "/etc/release",            "/etc/sun-release",          "/etc/novell-release",
    "/etc/sles-release",       "/etc/SuSE-release",         "/etc/tinysofa-release",
    "/etc/turbolinux-release", "/etc/lsb-release",          "/etc/ultrapenguin-release",
    "/etc/UnitedLinux-release", "/etc/va-release",          "/etc/yellowdog-release",
};

constexpr const char *kLsbReleaseProgram = "/usr/bin/lsb_release";

struct DistroFileData {
  std::string values[kOsKeyCount];
  bool found[kOsKeyCount] = {};
  std::string joined;  // the found values joined by blanks, or the whole text
  int score = 0;
};

void TrimTrailingSpace(std::string *s) {
  while (!s->empty() && isspace(static_cast<unsigned char>(s->back()))) {
    s->pop_back();
  }
}

void CopyField(char *dst, std::string_view value) {
  size_t n = value.size() < kHostinfoFieldSize - 1 ? value.size() : kHostinfoFieldSize - 1;
  memcpy(dst, value.data(), n);
  dst[n] = '\0';
}

// Reads a whole file (at most kMaxDistroFileSize bytes). A missing file is
// quietly unreadable: most of the distribution files never exist.
std::optional<std::string> ReadWholeFile(const std::string &path) {
  static const char *const kFn = "HostinfoReadDistroFile";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      LogHook_Warning("%s: could not stat file '%s': %d\n", kFn, path.c_str(), errno);
    }
    return std::nullopt;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    LogHook_Warning("%s: could not stat file '%s': %d\n", kFn, path.c_str(), errno);
    close(fd);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  std::string text;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      LogHook_Warning("%s: could not read file '%s': %d\n", kFn, path.c_str(), errno);
      close(fd);
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    text.append(chunk, static_cast<size_t>(n));
    if (text.size() >= kMaxDistroFileSize) {
      text.resize(kMaxDistroFileSize);
      break;
    }
  }
  close(fd);
  if (text.empty()) {
    LogHook_Warning("%s: Cannot work with empty file.\n", kFn);
    return std::nullopt;
  }
  return text;
}

// Reads a distribution or os-release file: one value per key (the first
// occurrence), the found values joined by blanks. An os-release file without
// any key is rejected; any other file then contributes its whole text.
bool HostinfoReadDistroFile(bool osRelease, const std::string &path,
                            std::span<const char *const> keys, DistroFileData *out) {
  static const char *const kFn = "HostinfoReadDistroFile";
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text) {
    return false;
  }
  DistroFileData data;
  const std::string &t = *text;
  size_t pos = 0;
  while (pos < t.size()) {
    size_t avail = t.size() - pos;
    size_t chunk = avail < kLineSize - 1 ? avail : kLineSize - 1;
    const char *start = t.data() + pos;
    const char *nl = static_cast<const char *>(memchr(start, '\n', chunk));
    size_t lineLen = nl ? static_cast<size_t>(nl - start) : chunk;
    // A piece that filled the buffer while more of the same line follows is
    // a line too long; the last line of a file may simply lack its newline.
    bool cutShort = nl == nullptr && avail > chunk;
    pos += nl ? lineLen + 1 : chunk;
    std::string_view line(start, lineLen);

    for (size_t k = 0; k < keys.size(); k++) {
      std::string_view key(keys[k]);
      if (line.substr(0, key.size()) != key) {
        continue;
      }
      std::string_view value = line.substr(key.size());
      if (!value.empty() && value.front() == '"') {
        size_t last = value.rfind('"');
        if (last == 0) {
          LogHook_Warning("%s: Invalid os-release file.", kFn);
          return false;
        }
        value = value.substr(1, last - 1);
      } else if (cutShort) {
        LogHook_Warning("%s: os-release file line too long.", kFn);
        return false;
      }
      if (value.size() >= kHostinfoFieldSize) {
        LogHook_Warning("%s: Unexpectedly long data encountered; truncated.", kFn);
        value = value.substr(0, kHostinfoFieldSize - 1);
      }
      if (!data.found[k]) {
        data.found[k] = true;
        data.values[k].assign(value);
        data.score++;
      }
      break;
    }
  }
  for (size_t k = 0; k < keys.size(); k++) {
    if (data.found[k]) {
      if (!data.joined.empty()) {
        data.joined += ' ';
      }
      data.joined += data.values[k];
    }
  }
  if (data.score == 0) {
    if (osRelease) {
      return false;
    }
    // A file such as redhat-release holds just the description. It counts
    // as one item found, so that it can win over an absent os-release file.
    data.joined = t;
    TrimTrailingSpace(&data.joined);
    data.score = 1;
  }
  *out = std::move(data);
  return true;
}

// Runs a command through the shell and returns its output without the
// trailing newline and without surrounding double quotes; nothing when the
// command gives no output.
std::optional<std::string> HostinfoGetCmdOutput(const std::string &cmd) {
  FILE *stream = popen(cmd.c_str(), "re");
  if (stream == nullptr) {
    LogHook_Info("Unable to get output of command \"%s\"\n", cmd.c_str());
    return std::nullopt;
  }
  std::string out;
  char chunk[1024];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, stream)) > 0) {
    if (out.size() < 64 * 1024) {
      out.append(chunk, n);
    }
  }
  pclose(stream);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
    out.pop_back();
  }
  if (out.size() >= 2 && out.front() == '"' && out.back() == '"') {
    out = out.substr(1, out.size() - 2);
  }
  if (out.empty()) {
    return std::nullopt;
  }
  return out;
}

// The LSB source: lsb_release when it is there, else the first readable
// distribution file. Returns the score (items found).
int HostinfoLsb(const std::string &root, std::string *id, std::string *release,
                std::string *description, std::string *distroText) {
  std::string program = root + kLsbReleaseProgram;
  std::optional<std::string> desc;
  std::optional<std::string> lsbId;
  std::optional<std::string> lsbRelease;
  struct stat st;
  if (stat(program.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      access(program.c_str(), X_OK) == 0) {
    // Root runs the helper with the real user's rights.
    uid_t realUid = getuid();
    bool lowered = false;
    if (geteuid() == 0 && realUid != 0) {
      lowered = seteuid(realUid) == 0;
    }
    desc = HostinfoGetCmdOutput(program + " -sd 2>/dev/null");
    lsbId = HostinfoGetCmdOutput(program + " -si 2>/dev/null");
    lsbRelease = HostinfoGetCmdOutput(program + " -sr 2>/dev/null");
    if (lowered && seteuid(0) != 0) {
      Panic("HostinfoLsb: cannot restore the effective user id: %s\n", strerror(errno));
    }
  }

  int score = 0;
  if (desc) {
    *description = *desc;
    *distroText = *desc;
    score++;
    if (lsbId) {
      *id = *lsbId;
      score++;
    }
    if (lsbRelease) {
      *release = *lsbRelease;
      score++;
    }
    return score;
  }

  for (const char *file : kDistroFiles) {
    DistroFileData data;
    if (HostinfoReadDistroFile(false, root + file, kLsbKeys, &data)) {
      *id = data.values[kLsbId];
      *release = data.values[kLsbRelease];
      *description = data.values[kLsbDescription];
      *distroText = data.joined;
      return data.score;
    }
  }
  return 0;
}

int FirstNumber(const char *text) {
  if (text == nullptr) {
    return -1;
  }
  for (const char *p = text; *p != '\0'; p++) {
    if (isdigit(static_cast<unsigned char>(*p))) {
      long v = strtol(p, nullptr, 10);
      return v > 100000 ? 100000 : static_cast<int>(v);
    }
  }
  return -1;
}

std::string WithNumber(const char *name, int version) {
  return std::string(name) + std::to_string(version);
}

struct SimpleRow {
  const char *key;
  const char *shortName;
};

constexpr SimpleRow kPlainNames[] = {
    {"annvix", "Annvix"},       {"arch", "Arch"},
    {"arklinux", "Arklinux"},   {"aurox", "Aurox"},
    {"cobalt", "Cobalt"},       {"conectiva", "Conectiva"},
    {"fedora", "Fedora"},       {"gentoo", "Gentoo"},
    {"immunix", "Immunix"},     {"linux-from-scratch", "Linux-From-Scratch"},
    {"linux-ppc", "Linux-PPC"}, {"mklinux", "MkLinux"},
    {"pld", "PLD"},             {"slackware", "Slackware"},
};

constexpr SimpleRow kLateNames[] = {
    {"tiny sofa", "Tiny Sofa"}, {"ultra penguin", "UltraPenguin"},
    {"united linux", "UnitedLinux"}, {"va linux", "VALinux"},
    {"yellow dog", "Yellow Dog"},
};

// Marks rows whose short name is the generic one built from the kernel
// version (as for a distribution found in no table).
constexpr const char *kUseGeneric = "\x01generic";

std::string ShortNameFromTable(const std::string &text, int version) {
  auto has = [&text](const char *key) { return text.find(key) != std::string::npos; };

  if (has("almalinux")) {
    return "almaLinux";
  }
  if (has("amazon")) {
    return WithNumber("amazonlinux", version < 2 ? 2 : version);
  }
  for (const SimpleRow &row : kPlainNames) {
    if (has(row.key)) {
      return row.shortName;
    }
  }
  if (has("asianux") || has("miracle linux")) {
    return version > 2 ? WithNumber("asianux", version) : "asianux";
  }
  if (has("bigcloud")) {
    return kUseGeneric;
  }
  if (has("black cat")) {
    return "BlackCat";
  }
  if (has("centos")) {
    return version > 5 ? WithNumber("centos", version) : "centos";
  }
  if (has("debian")) {
    return version > 4 ? WithNumber("debian", version) : "debian4";
  }
  if (has("red hat")) {
    if (has("enterprise")) {
      return version == 0 ? "rhel" : WithNumber("rhel", version);
    }
    return "redhat";
  }
  if (has("enterprise linux") || has("oracle")) {
    return version == 0 ? "oraclelinux" : WithNumber("oraclelinux", version);
  }
  for (const char *key : {"mandrake", "mandriva", "opensuse", "turbolinux", "ubuntu"}) {
    if (has(key)) {
      return key;
    }
  }
  if (has("rocky linux")) {
    return "rockyLinux";
  }
  if (has("sme server")) {
    return "SMEServer";
  }
  if (has("suse")) {
    if (has("enterprise")) {
      static constexpr struct {
        const char *key;
        int number;
      } kSles[] = {
          {"desktop 10", 10}, {"desktop 11", 11}, {"desktop 12", 12}, {"desktop 15", 15},
          {"desktop 16", 16}, {"server 10", 10},  {"server 11", 11},  {"server 12", 12},
          {"server 15", 15},  {"server 16", 16},  {"server for sap applications 12", 12},
      };
      for (const auto &row : kSles) {
        if (has(row.key)) {
          return WithNumber("sles", row.number);
        }
      }
      return "sles";
    }
    if (has("sun")) {
      return "sjds";
    }
    if (has("novell")) {
      return "nld9";
    }
    return "suse";
  }
  for (const SimpleRow &row : kLateNames) {
    if (has(row.key)) {
      return row.shortName;
    }
  }
  return "";
}

}  // namespace

std::string HostinfoShortNameFromText(const char *distroText, const char *versionText) {
  std::string lower(distroText ? distroText : "");
  for (char &c : lower) {
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  int version = FirstNumber(versionText);
  if (version < 0) {
    version = FirstNumber(lower.c_str());
  }
  if (version < 0) {
    version = 0;
  }
  return ShortNameFromTable(lower, version);
}

void HostinfoGenericNames(int major, int minor, std::string *fullName, std::string *shortName) {
  if (major == 1 || (major == 2 && minor < 4)) {
    *fullName = "Other OSes";
    *shortName = "other";
  } else if (major == 2 && minor < 6) {
    *fullName = "Other Linux 2.4.x kernel";
    *shortName = "other24xlinux";
  } else if (major == 2) {
    *fullName = "Other Linux 2.6.x kernel";
    *shortName = "other26xlinux";
  } else if (major >= 3 && major <= 6) {
    *fullName = "Other Linux " + std::to_string(major) + ".x kernel";
    *shortName = "other" + std::to_string(major) + "xlinux";
  } else {
    *fullName = "Other Linux " + std::to_string(major) + "." + std::to_string(minor) + " kernel";
    *shortName = "other5xlinux";
  }
}

bool HostinfoParseKernelVersion(const char *release, int version[4]) {
  version[0] = version[1] = version[2] = version[3] = 0;
  const char *p = release;
  char *end;
  for (int i = 0; i < 3; i++) {
    if (!isdigit(static_cast<unsigned char>(*p))) {
      // Major and minor are required; a missing patch level reads as 0.
      return i >= 2;
    }
    long v = strtol(p, &end, 10);
    version[i] = v > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(v);
    p = end;
    if (i < 2) {
      if (*p != '.') {
        return i >= 1;
      }
      p++;
    }
  }
  while (*p != '\0' && !isdigit(static_cast<unsigned char>(*p))) {
    p++;
  }
  if (*p != '\0') {
    long v = strtol(p, nullptr, 10);
    version[3] = v > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(v);
  }
  return true;
}

bool HostinfoDetailedDescription(const HostinfoOSResult &result, char *out, size_t outSize) {
  std::string desc;
  for (int f = 0; f < kHostinfoFieldCount; f++) {
    std::string value(result.fields[f]);
    TrimTrailingSpace(&value);
    if (value.empty()) {
      continue;
    }
    std::string escaped;
    for (char c : value) {
      if (c == '\'' || c == '\\') {
        escaped += '\\';
      }
      escaped += c;
    }
    std::string item = std::string(kFieldNames[f]) + "='" + escaped + "'";
    if (item.size() >= kHostinfoFieldSize || desc.size() + 1 + item.size() >= outSize) {
      LogHook_Warning("%s: Error: detailed data field too large\n", "HostinfoOSDetailedData");
      out[0] = '\0';
      return false;
    }
    if (!desc.empty()) {
      desc += ' ';
    }
    desc += item;
  }
  memcpy(out, desc.c_str(), desc.size() + 1);
  return true;
}

bool HostinfoOSData(const std::string &root, const struct utsname *uts, HostinfoOSResult *result) {
  memset(result, 0, sizeof *result);
  struct utsname own;
  if (uts == nullptr) {
    if (uname(&own) < 0) {
      LogHook_Warning("%s: uname failed %d\n", "HostinfoOSData", errno);
      return false;
    }
    uts = &own;
  }
  bool is64 = strstr(uts->machine, "x86_64") != nullptr || strstr(uts->machine, "aarch64") != nullptr;
  CopyField(result->fields[kHostinfoFamilyName], uts->sysname);
  CopyField(result->fields[kHostinfoKernelVersion], uts->release);
  CopyField(result->fields[kHostinfoDistroName], uts->sysname);
  CopyField(result->fields[kHostinfoVersion], uts->release);
  CopyField(result->fields[kHostinfoBitness], is64 ? "64" : "32");

  std::string shortName;
  std::string fullName;
  if (strstr(uts->sysname, "Linux") == nullptr) {
    if (strstr(uts->sysname, "FreeBSD") != nullptr) {
      int major = atoi(uts->release);
      shortName = major > 10 ? WithNumber("freeBSD", major) : "freeBSD";
    } else if (strstr(uts->sysname, "SunOS") != nullptr) {
      char minor[3] = "";
      if (sscanf(uts->release, "5.%2[0-9]", minor) == 1) {
        shortName = std::string("solaris") + minor;
      } else {
        shortName = "solaris";
      }
    }
    if (!shortName.empty()) {
      fullName = std::string(uts->sysname) + " " + uts->release;
    }
  } else {
    std::string lsbId, lsbRelease, lsbDescription, lsbText;
    int lsbScore = HostinfoLsb(root, &lsbId, &lsbRelease, &lsbDescription, &lsbText);

    DistroFileData os;
    if (!HostinfoReadDistroFile(true, root + "/etc/os-release", kOsReleaseKeys, &os) &&
        !HostinfoReadDistroFile(true, root + "/usr/lib/os-release", kOsReleaseKeys, &os)) {
      os = DistroFileData();
    }

    int kv[4];
    HostinfoParseKernelVersion(uts->release, kv);
    std::string genericFull, genericShort;
    HostinfoGenericNames(kv[0], kv[1], &genericFull, &genericShort);

    std::string distroText;
    if (os.score >= lsbScore) {
      if (os.score == 0) {
        distroText = genericFull;
        shortName = genericShort;
      } else {
        CopyField(result->fields[kHostinfoPrettyName], os.values[kOsPrettyName]);
        CopyField(result->fields[kHostinfoDistroName], os.values[kOsName]);
        CopyField(result->fields[kHostinfoDistroVersion], os.values[kOsVersionId]);
        CopyField(result->fields[kHostinfoBuildNumber], os.values[kOsBuildId]);
        CopyField(result->fields[kHostinfoDistroAddlVersion], os.values[kOsVersion]);
        CopyField(result->fields[kHostinfoCpeString], os.values[kOsCpeName]);
        distroText = os.joined;
        shortName = HostinfoShortNameFromText(
            distroText.c_str(), os.found[kOsVersionId] ? os.values[kOsVersionId].c_str() : nullptr);
      }
    } else {
      if (!lsbId.empty()) {
        CopyField(result->fields[kHostinfoDistroName], lsbId);
      }
      CopyField(result->fields[kHostinfoDistroVersion], lsbRelease);
      CopyField(result->fields[kHostinfoPrettyName], lsbDescription);
      distroText = lsbText;
      shortName = HostinfoShortNameFromText(distroText.c_str(),
                                            lsbRelease.empty() ? nullptr : lsbRelease.c_str());
    }
    if (shortName.empty() || shortName == kUseGeneric) {
      shortName = genericShort;
    }
    fullName = std::string(uts->sysname) + " " + uts->release + " " + distroText;
  }

  if (!shortName.empty() && is64) {
    shortName += "-64";
  }
  if (fullName.size() >= kHostinfoFullNameSize || shortName.size() >= kHostinfoShortNameSize) {
    LogHook_Warning("%s: Error: buffer too small\n", "HostinfoLinux");
    memset(result, 0, sizeof *result);
    return false;
  }
  memcpy(result->shortName, shortName.c_str(), shortName.size() + 1);
  memcpy(result->fullName, fullName.c_str(), fullName.size() + 1);
  HostinfoDetailedDescription(*result, result->detailed, sizeof result->detailed);
  return true;
}

// ---------------------------------------------------------------------------
// Process-wide results.

namespace {

struct KernelVersion {
  int numbers[4];
  char release[sizeof(((struct utsname *)nullptr)->release)];
};

std::atomic<KernelVersion *> gKernelVersion{nullptr};

const KernelVersion *HostinfoOSVersionInit() {
  KernelVersion *kv = gKernelVersion.load(std::memory_order_acquire);
  if (kv != nullptr) {
    return kv;
  }
  struct utsname u;
  if (uname(&u) < 0) {
    Panic("%s: unable to get host OS version (uname): %s\n", "HostinfoOSVersionInit",
          strerror(errno));
  }
  auto fresh = std::make_unique<KernelVersion>();
  if (!HostinfoParseKernelVersion(u.release, fresh->numbers)) {
    Panic("%s: unable to parse host OS version string: %s\n", "HostinfoOSVersionInit", u.release);
  }
  memcpy(fresh->release, u.release, sizeof fresh->release);
  KernelVersion *expected = nullptr;
  if (gKernelVersion.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) {
    return fresh.release();  // kept for the life of the process
  }
  return expected;
}

// The first successful identification, guarded by a spin flag while stored.
std::atomic<bool> gCached{false};
std::atomic_flag gStoreLock = ATOMIC_FLAG_INIT;
HostinfoOSResult gResult;

bool HostinfoEnsure() {
  if (gCached.load(std::memory_order_acquire)) {
    return true;
  }
  auto fresh = std::make_unique<HostinfoOSResult>();
  if (!HostinfoOSData("", nullptr, fresh.get())) {
    return false;
  }
  while (gStoreLock.test_and_set(std::memory_order_acquire)) {
  }
  if (!gCached.load(std::memory_order_relaxed)) {
    gResult = *fresh;
    gCached.store(true, std::memory_order_release);
  }
  gStoreLock.clear(std::memory_order_release);
  return true;
}

char *DupOrPanic(const char *s) {
  char *copy = strdup(s);
  if (copy == nullptr) {
    Panic_MemAllocFailure(__FILE__, __LINE__);
  }
  return copy;
}

}  // namespace

char *Hostinfo_OSDetailedData(void) {
  return HostinfoEnsure() ? DupOrPanic(gResult.detailed) : nullptr;
}

char *Hostinfo_OSName(void) {
  return HostinfoEnsure() ? DupOrPanic(gResult.shortName) : nullptr;
}

char *Hostinfo_OSFullName(void) {
  return HostinfoEnsure() ? DupOrPanic(gResult.fullName) : nullptr;
}

int Hostinfo_OSVersion(unsigned int index) {
  const KernelVersion *kv = HostinfoOSVersionInit();
  return index < 4 ? kv->numbers[index] : 0;
}

const char *Hostinfo_OSVersionString(void) {
  return HostinfoOSVersionInit()->release;
}
