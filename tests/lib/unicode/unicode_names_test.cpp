// Encoding names and numbers: the table's fixed parts, the lookup rules and
// the name cache under concurrent use.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/misc/codesetInt.h"
#include "lib/unicode/unicode.h"
#include "lib/unicode/unicodeTable.h"

namespace {

const char *Preferred(const EncodingEntry &e) { return e.names[e.preferredMime]; }

TEST(UnicodeTable, FixedRowsNumbersAndSupportedSet) {
  const std::vector<std::string> supported = {
      "ASCII", "ISO-8859-1", "ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "ISO-8859-5",
      "ISO-8859-6", "ASMO-708", "ISO-8859-7", "ISO-8859-8", "ISO-8859-9", "ISO-8859-10",
      "Shift_JIS", "ibm-943_P130-1999", "ISO_646.irv:1983", "KS_C_5601-1987",
      "windows-949-2000", "ibm-1363_P11B-1998", "ISO-2022-JP", "ISO-8859-6-E", "ISO-8859-6-I",
      "ISO-8859-8-E", "ISO-8859-8-I", "UTF-8", "ISO-8859-13", "ISO-8859-14", "ISO-8859-15",
      "ibm-874", "GBK", "ibm-1386", "ISO-10646-UCS-2", "ISO-10646-UCS-4", "SCSU", "UTF-7",
      "UTF-16BE", "UTF-16LE", "UTF-16", "CESU-8", "UTF-32", "UTF-32BE", "UTF-32LE", "BOCU-1",
      "IBM850", "IBM862", "Windows-31J", "Big5", "ibm-1373_P100-2002", "IBM437", "IBM852",
      "IBM857", "HZ-GB-2312", "IBM866", "IBM775", "IBM00858", "windows-1250", "windows-1251",
      "windows-1252", "windows-1253", "windows-1254", "windows-1255", "windows-1256",
      "windows-1257", "windows-1258", "TIS-620", "Windows-720", "Windows-737", "csISO2022JP",
      "Windows-57002", "Windows-57003", "Windows-57004", "Windows-57005", "Windows-57006",
      "Windows-57007", "Windows-57008", "Windows-57009", "Windows-57010", "Windows-57011"};
  std::vector<std::string> found;
  std::multiset<int> numbers;
  for (size_t row = 0; row < kEncodingTableRows; row++) {
    const EncodingEntry &e = kEncodingTable[row];
    numbers.insert(e.encoding);
    if (e.isSupported) {
      found.push_back(Preferred(e));
      // Every supported preferred name leads back to its own row.
      EXPECT_EQ(UnicodeIANALookup(Preferred(e)), static_cast<int>(row)) << Preferred(e);
      EXPECT_EQ(Unicode_EncodingFromName(Preferred(e)), e.encoding) << Preferred(e);
    }
    size_t count = 0;
    while (e.names[count] != nullptr) {
      count++;
    }
    EXPECT_GE(count, 1u);
    EXPECT_LE(count, kEncodingMaxNames);
    EXPECT_LT(static_cast<size_t>(e.preferredMime), count);
  }
  EXPECT_EQ(found, supported);
  // 0..323 once each; 13 twice (ISO-8859-6 and ASMO-708).
  EXPECT_EQ(numbers.size(), 325u);
  for (int n = 0; n < kStringEncodingCount; n++) {
    EXPECT_EQ(numbers.count(n), n == 13 ? 2u : 1u) << n;
  }

  const char *fixed[] = {"UTF-8",    "UTF-16LE", "UTF-16BE", "UTF-16",    "UTF-32LE",
                         "UTF-32BE", "UTF-32",   "ASCII",    "ISO-8859-1"};
  for (int n = 0; n < 9; n++) {
    EXPECT_STREQ(Unicode_EncodingEnumToName(n), fixed[n]);
  }
  EXPECT_STREQ(Unicode_EncodingEnumToName(13), "ISO-8859-6");
  EXPECT_EQ(Unicode_EncodingFromName("ASMO-708"), 13);

  const EncodingEntry &ascii = kEncodingTable[0];
  EXPECT_EQ(ascii.mibEnum, 3);
  EXPECT_EQ(ascii.winCodePage, 20127);
  EXPECT_STREQ(ascii.names[12], "ascii7");
  EXPECT_EQ(ascii.names[13], nullptr);
  const EncodingEntry &latin1 = kEncodingTable[1];
  EXPECT_EQ(latin1.mibEnum, 4);
  EXPECT_EQ(latin1.winCodePage, 28591);
  EXPECT_STREQ(latin1.names[10], "819");
  EXPECT_EQ(latin1.names[11], nullptr);
  int utf8 = UnicodeIANALookup("UTF-8");
  EXPECT_EQ(kEncodingTable[utf8].mibEnum, 106);
  EXPECT_EQ(kEncodingTable[utf8].winCodePage, 65001);
}

TEST(UnicodeLookup, WindowsCodePagesExactAndLooseNames) {
  EXPECT_EQ(Unicode_EncodingFromName("windows-1252"), 35);
  EXPECT_EQ(Unicode_EncodingFromName("Windows-1252"), 35);
  EXPECT_EQ(Unicode_EncodingFromName("windows-65001"), STRING_ENCODING_UTF8);
  EXPECT_EQ(Unicode_EncodingFromName("windows-20127"), STRING_ENCODING_US_ASCII);
  EXPECT_EQ(Unicode_EncodingFromName("windows-1200"), STRING_ENCODING_UTF16_LE);
  // A letter or dash among the digits: looked up by name instead.
  EXPECT_EQ(UnicodeIANALookup("windows-949-2000"), UnicodeIANALookup("KS_C_5601-1987") + 1);
  EXPECT_EQ(UnicodeIANALookup("windows-12x2"), -1);
  EXPECT_EQ(UnicodeIANALookup("windows-"), -1);
  EXPECT_EQ(UnicodeIANALookup("windows-99999999999999999999"), -1);

  EXPECT_EQ(Unicode_EncodingFromName("uTf8"), STRING_ENCODING_UTF8);
  EXPECT_EQ(Unicode_EncodingFromName("iso_8859_15"), STRING_ENCODING_ISO_8859_15);
  EXPECT_EQ(Unicode_EncodingFromName("LATIN1"), STRING_ENCODING_ISO_8859_1);
  EXPECT_EQ(Unicode_EncodingFromName("utf-16le"), STRING_ENCODING_UTF16_LE);

  // A registry row that is not supported, and names with no row at all.
  EXPECT_GE(UnicodeIANALookup("ibm-813"), 0);
  EXPECT_EQ(Unicode_EncodingFromName("ibm-813"), -ENOENT);
  EXPECT_EQ(Unicode_EncodingFromName("KOI8-R"), -ENOENT);
  EXPECT_EQ(Unicode_EncodingFromName("no such charset"), -ENOENT);
  EXPECT_EQ(UnicodeIANALookup(""), -1);
  EXPECT_EQ(UnicodeIANALookup("-_-"), -1);
  EXPECT_EQ(UnicodeIANALookup(nullptr), -1);
  std::string longName(5000, 'x');
  EXPECT_EQ(UnicodeIANALookup(longName.c_str()), -1);

  EXPECT_TRUE(Unicode_NumberIsValid(0));
  EXPECT_TRUE(Unicode_NumberIsValid(323));
  EXPECT_FALSE(Unicode_NumberIsValid(324));
  EXPECT_FALSE(Unicode_NumberIsValid(-1));
}

TEST(UnicodeLookup, CacheAnswersTheSameFromManyThreads) {
  const char *names[] = {"utf8", "windows-1252", "Latin1", "ISO-8859-6", "ibm-813",
                         "sjis", "x-unknown",    "GBK",    "cp1252",     "UTF_16"};
  std::vector<int> expected;
  for (const char *n : names) {
    expected.push_back(UnicodeIANALookup(n));
  }
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; round++) {
        for (size_t i = 0; i < std::size(names); i++) {
          if (UnicodeIANALookup(names[i]) != expected[i]) {
            mismatches[t]++;
          }
        }
        // Names that every thread sees for the first time at about once.
        std::string racy = "UTF" + std::string(static_cast<size_t>(round), '_') + "8";
        if (UnicodeIANALookup(racy.c_str()) != expected[0]) {
          mismatches[t]++;
        }
      }
    });
  }
  for (std::thread &th : threads) {
    th.join();
  }
  for (int m : mismatches) {
    EXPECT_EQ(m, 0);
  }
}

TEST(UnicodeLookupDeath, UnknownNumberStops) {
  EXPECT_DEATH(Unicode_EncodingEnumToName(400), "NOT_REACHED lib/unicode/unicodeSimpleTypes");
}

class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    const char *old = getenv(name);
    had_ = old != nullptr;
    if (had_) {
      old_ = old;
    }
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char *name_;
  bool had_;
  std::string old_;
};

TEST(CurrentCodeSet, EnvironmentRules) {
  ScopedEnv lcAll("LC_ALL", "C");
  {
    ScopedEnv a("G_FILENAME_ENCODING", nullptr);
    ScopedEnv b("G_BROKEN_FILENAMES", nullptr);
    EXPECT_EQ(CodeSetComputeCurrentCodeSet(), "UTF-8");  // whatever the locale says
  }
  {
    ScopedEnv a("G_FILENAME_ENCODING", "ISO-8859-15,UTF-8");
    EXPECT_EQ(CodeSetComputeCurrentCodeSet(), "ISO-8859-15");
  }
  {
    ScopedEnv a("G_FILENAME_ENCODING", "@locale,UTF-8");
    EXPECT_EQ(CodeSetComputeCurrentCodeSet(), "ANSI_X3.4-1968");
  }
  {
    ScopedEnv a("G_FILENAME_ENCODING", "");
    ScopedEnv b("G_BROKEN_FILENAMES", "");
    ScopedEnv c("LC_ALL", "C.UTF-8");
    EXPECT_EQ(CodeSetComputeCurrentCodeSet(), "UTF-8");
  }
  {
    ScopedEnv a("G_FILENAME_ENCODING", nullptr);
    ScopedEnv b("G_BROKEN_FILENAMES", "1");
    ScopedEnv c("LC_ALL", "no_SUCH.locale");
    EXPECT_EQ(CodeSetComputeCurrentCodeSet(), "ANSI_X3.4-1968");  // falls back to "C"
  }
}

}  // namespace
