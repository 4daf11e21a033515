// Internals of host identification, exposed so that tests can run the
// identification against a fake root folder and a made-up kernel.
#pragma once

#include <sys/utsname.h>

#include <cstddef>
#include <string>

// Detailed-data fields in the order the description lists them.
enum HostinfoField {
  kHostinfoBitness,
  kHostinfoBuildNumber,
  kHostinfoCpeString,
  kHostinfoDistroAddlVersion,
  kHostinfoDistroName,
  kHostinfoDistroVersion,
  kHostinfoFamilyName,
  kHostinfoKernelVersion,
  kHostinfoPrettyName,
  kHostinfoVersion,
  kHostinfoFieldCount
};

constexpr size_t kHostinfoFieldSize = 1024;     // each field: at most 1,023 chars
constexpr size_t kHostinfoShortNameSize = 128;
constexpr size_t kHostinfoFullNameSize = 512;
constexpr size_t kHostinfoDetailedSize = 10240;

struct HostinfoOSResult {
  char fields[kHostinfoFieldCount][kHostinfoFieldSize];
  char shortName[kHostinfoShortNameSize];
  char fullName[kHostinfoFullNameSize];
  char detailed[kHostinfoDetailedSize];
};

// Kernel version numbers parsed from a release text ("6.1.0-18-amd64" gives
// 6, 1, 0, 18). False when the text does not start with "major.minor".
bool HostinfoParseKernelVersion(const char *release, int version[4]);

// The whole identification. root prefixes every fixed path ("" for the real
// system); uts stands for the kernel query (null: ask the kernel). False when
// identification failed (the result is then all empty).
bool HostinfoOSData(const std::string &root, const struct utsname *uts,
                    HostinfoOSResult *result);

// Builds the one-line description from the fields; false (and an empty
// text) when a field does not fit.
bool HostinfoDetailedDescription(const HostinfoOSResult &result, char *out, size_t outSize);

// Short name from a distribution text and a version text (may be null):
// the short-name table, or "" when no row matches.
std::string HostinfoShortNameFromText(const char *distroText, const char *versionText);

// Generic full and short names by kernel version.
void HostinfoGenericNames(int major, int minor, std::string *fullName, std::string *shortName);
