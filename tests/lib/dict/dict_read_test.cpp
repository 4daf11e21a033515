// Reading dictionary files: syntax, encodings, duplicates, failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "dict_test_util.h"
#include "lib/unicode/unicode.h"

namespace {

using Messages = std::vector<std::pair<std::string, std::string>>;

std::string Str(Dictionary *d, const char *name) {
  const char *v = Dictionary_GetString(d, nullptr, "%s", name);
  return v != nullptr ? v : "<none>";
}

TEST(DictRead, LineSyntax) {
  DictHolder d;
  MsgList *msgs = nullptr;
  ASSERT_TRUE(LoadText(d,
                       "# leading comment\n"
                       "   \t \n"
                       "\t  # indented comment\n"
                       "plain = value # note\n"
                       "quoted = \"two words # not a comment\"\n"
                       "escaped = \"say |22hi|22 |7c |7C |zz |4\"\n"
                       "  spaced\t=\tx\n"
                       "empty = \"\"\n"
                       "bare =\n"
                       "tight=1#c\n",
                       &msgs));
  EXPECT_EQ(MsgList_Count(msgs), 0u);
  EXPECT_EQ(Str(d, "plain"), "value");
  EXPECT_EQ(Str(d, "quoted"), "two words # not a comment");
  EXPECT_EQ(Str(d, "escaped"), "say \"hi\" | | |zz |4");
  EXPECT_EQ(Str(d, "SPACED"), "x");  // names ignore case
  EXPECT_EQ(Str(d, "empty"), "");
  EXPECT_EQ(Str(d, "bare"), "");
  EXPECT_EQ(Str(d, "tight"), "1");
  MsgList_Free(msgs);
}

TEST(DictRead, SyntaxErrorsStopTheLoadAndKeepEarlierEntries) {
  const char *bad[] = {
      "name = two words\n",  "name \"x\"\n",   "= value\n",     "name = \"unclosed\n",
      "name = \"a\" tail\n", "just a line\n", "na\x01me\tvalue\n",
  };
  for (const char *line : bad) {
    LogCapture log;
    DictHolder d;
    MsgList *msgs = nullptr;
    std::string text = std::string("first = 1\n") + line + "after = 2\n";
    EXPECT_FALSE(LoadText(d, text, &msgs)) << line;
    Messages m = TakeMessages(msgs);
    ASSERT_EQ(m.size(), 1u) << line;
    EXPECT_EQ(m[0].first, "msg.dictionary.read.syntaxError");
    EXPECT_EQ(m[0].second, "File \"test.cfg\" line 2: Syntax error.\n");
    EXPECT_EQ(Str(d, "first"), "1");
    EXPECT_FALSE(Dictionary_IsDefined(d, "after"));
    std::string stripped(line, strlen(line) - 1);
    EXPECT_TRUE(log.Contains("DictionaryParseReadLine: syntax error with line, \"" + stripped +
                             "\".\n"))
        << line;
  }
}

TEST(DictRead, NulByteInALineIsRejectedNotTruncated) {
  DictHolder d;
  MsgList *msgs = nullptr;
  std::string text("a = b\0c\n", 8);
  EXPECT_FALSE(LoadText(d, text, &msgs));
  MsgList_Free(msgs);
}

TEST(DictRead, LastLineWithoutNewline) {
  DictHolder d;
  ASSERT_TRUE(LoadText(d, "a = 1\nb = 2", nullptr));
  EXPECT_EQ(Str(d, "b"), "2");
}

TEST(DictRead, MetavariablesAreLoggedAndIgnored) {
  LogCapture log;
  DictHolder d;
  MsgList *msgs = nullptr;
  ASSERT_TRUE(LoadText(d, "a = 1\n.strange = x\n", &msgs));
  EXPECT_EQ(MsgList_Count(msgs), 0u);
  EXPECT_FALSE(Dictionary_IsDefined(d, ".strange"));
  EXPECT_TRUE(log.Contains(
      "DictionaryParseReadLine: \"test.cfg\" line 2: unrecognized metavariable \".strange\"\n"));
  MsgList_Free(msgs);
}

TEST(DictRead, DuplicatesKeepTheFirstAndFailTheLoad) {
  DictHolder d;
  MsgList *msgs = nullptr;
  EXPECT_FALSE(LoadText(d, "a = 1\nA = 2\nb = 3\n", &msgs));
  Messages m = TakeMessages(msgs);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].first, "msg.dictionary.alreadyDefined");
  EXPECT_EQ(m[0].second, "File \"test.cfg\" line 2: Variable \"A\" is already defined.\n");
  EXPECT_EQ(Str(d, "a"), "1");
  EXPECT_EQ(Str(d, "b"), "3");  // reading went on
}

TEST(DictRead, TheHundredAndFirstDuplicateStopsReading) {
  LogCapture log;
  DictHolder d;
  std::string text = "dup = 0\n";
  for (int i = 1; i <= 101; i++) {
    text += "dup = " + std::to_string(i) + "\n";
  }
  text += "after = 1\n";
  MsgList *msgs = nullptr;
  EXPECT_FALSE(LoadText(d, text, &msgs));
  EXPECT_EQ(MsgList_Count(msgs), 101u);
  MsgList_Free(msgs);
  EXPECT_FALSE(Dictionary_IsDefined(d, "after"));
  EXPECT_TRUE(log.Contains(
      "DictionaryReadLines: \"test.cfg\" line 102: too many duplicate entries in dictionary, "
      "quitting.\n"));
}

TEST(DictRead, NonAsciiNameFails) {
  DictHolder d;
  MsgList *msgs = nullptr;
  EXPECT_FALSE(LoadText(d, "ok = 1\nna\xC3\xAFve = 2\n", &msgs));
  Messages m = TakeMessages(msgs);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].first, "msg.dictionary.nameNotASCII");
  EXPECT_EQ(m[0].second, "File \"test.cfg\" line 2: Variable \"na\xC3\xAFve\" is not valid ASCII.\n");
}

TEST(DictRead, EncodingDirectiveConvertsEarlierAndLaterValues) {
  DictHolder d;
  MsgList *msgs = nullptr;
  ASSERT_TRUE(LoadText(d, "before = \"caf\xE9\"\nconfig.encoding = \"ISO-8859-1\"\nafter = \xFC\n",
                       &msgs));
  EXPECT_EQ(MsgList_Count(msgs), 0u);
  MsgList_Free(msgs);
  EXPECT_EQ(Str(d, "before"), "caf\xC3\xA9");
  EXPECT_EQ(Str(d, "after"), "\xC3\xBC");
  EXPECT_EQ(Dictionary_GetEncoding(d), STRING_ENCODING_ISO_8859_1);
  EXPECT_FALSE(Dictionary_IsDefined(d, "config.encoding"));
}

TEST(DictRead, EncodingFailures) {
  struct Case {
    std::string text;
    const char *id;
    const char *message;
  } cases[] = {
      {"a = 1\n.encoding = \"no-such-encoding\"\n", "msg.dictionary.unknownEncoding",
       "File \"test.cfg\" (line 2) specifies a character encoding (no-such-encoding) that is not "
       "supported.\n"},
      {".encoding = \"UTF-8\"\nPreferences.Encoding = \"ISO-8859-1\"\n",
       "msg.dictionary.hasEncoding", "File \"test.cfg\" (line 2) already has encoding \"UTF-8\".\n"},
      {".encoding = \"UTF-8\"\nbad = \"\xFF\xFE\"\n", "msg.dictionary.badEncodedInput",
       "File \"test.cfg\" line 2: Value \"\xFF\xFE\" for variable \"bad\" is not valid in encoding "
       "\"UTF-8\".\n"},
      {".encoding = \"US-ASCII\"\nbad = \xE9\n", "msg.dictionary.badEncodedInput",
       "File \"test.cfg\" line 2: Value \"\xE9\" for variable \"bad\" is not valid in encoding "
       "\"ASCII\".\n"},
  };
  for (const Case &c : cases) {
    DictHolder d;
    MsgList *msgs = nullptr;
    EXPECT_FALSE(LoadText(d, c.text, &msgs)) << c.text;
    Messages m = TakeMessages(msgs);
    ASSERT_FALSE(m.empty()) << c.text;
    EXPECT_EQ(m[0].first, c.id);
    EXPECT_EQ(m[0].second, c.message);
  }
}

TEST(DictRead, SameEncodingTwiceIsAccepted) {
  DictHolder d;
  ASSERT_TRUE(LoadText(d, ".encoding = \"ISO-8859-1\"\na = \xE9\nvmlist.encoding = latin1\n",
                       nullptr));
  EXPECT_EQ(Str(d, "a"), "\xC3\xA9");  // converted once, not twice
}

TEST(DictRead, DefaultEncodingAndByteOrderMark) {
  const std::string latin1Value = "v = \"\xC3\xA9\"\n";  // UTF-8 bytes of e-acute
  {
    // Without a BOM the caller's default applies: the two bytes are two
    // Latin-1 characters.
    DictHolder d;
    ASSERT_TRUE(LoadText(d, latin1Value, nullptr, STRING_ENCODING_ISO_8859_1));
    EXPECT_EQ(Str(d, "v"), "\xC3\x83\xC2\xA9");
  }
  {
    // With a BOM the values are UTF-8 first.
    DictHolder d;
    ASSERT_TRUE(LoadText(d, "\xEF\xBB\xBF" + latin1Value, nullptr, STRING_ENCODING_ISO_8859_1));
    EXPECT_EQ(Str(d, "v"), "\xC3\xA9");
    EXPECT_EQ(Dictionary_GetEncoding(d), STRING_ENCODING_UTF8);
  }
  {
    // A BOM file whose values are not UTF-8 falls back to the default.
    DictHolder d;
    MsgList *msgs = nullptr;
    ASSERT_TRUE(LoadText(d, "\xEF\xBB\xBFv = \xE9\n", &msgs, STRING_ENCODING_ISO_8859_1));
    EXPECT_EQ(MsgList_Count(msgs), 0u);
    MsgList_Free(msgs);
    EXPECT_EQ(Str(d, "v"), "\xC3\xA9");
  }
  {
    // Invalid in the default: the load fails with badDefaultEncoding.
    DictHolder d;
    MsgList *msgs = nullptr;
    EXPECT_FALSE(LoadText(d, "v = \xE9\n", &msgs, STRING_ENCODING_UTF8));
    Messages m = TakeMessages(msgs);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].first, "msg.dictionary.badEncodedInputNoLine");
    EXPECT_EQ(m[1].first, "msg.dictionary.badDefaultEncoding");
    EXPECT_EQ(m[1].second,
              "An error occurred while decoding file \"test.cfg\" using the default character "
              "encoding.\n");
  }
}

TEST(DictRead, FileOpenFailures) {
  ScratchDir dir;
  LogCapture log;
  DictHolder d;
  MsgList *msgs = nullptr;
  std::string missing = dir.path() + "/missing";
  EXPECT_FALSE(DictionaryLoad(d, missing.c_str(), true, kDictCurrentEncoding, &msgs));
  Messages m = TakeMessages(msgs);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].first, "msg.dictionary.load.openFailed");
  EXPECT_EQ(m[0].second, "Cannot open file \"" + missing + "\": No such file or directory.\n");
  EXPECT_TRUE(log.Contains("DictionaryLoad: Cannot open file \"" + missing +
                           "\": No such file or directory.\n"));

  EXPECT_FALSE(DictionaryLoad(d, dir.path().c_str(), true, kDictCurrentEncoding, &msgs));
  m = TakeMessages(msgs);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].first, "msg.dictionary.load.isDirectory");
  EXPECT_EQ(m[0].second, "\"" + dir.path() + "\" is a directory.\n");

  // No path: nothing to read.
  EXPECT_TRUE(DictionaryLoad(d, nullptr, true, kDictCurrentEncoding, &msgs));
  EXPECT_EQ(msgs, nullptr);
}

// Files that may never end must be refused, not read until memory runs out.
TEST(DictRead, EndlessInputsAreRefused) {
  ScratchDir dir;
  LogCapture log;
  DictHolder d;
  MsgList *msgs = nullptr;

  std::string zero = dir.path() + "/zero.cfg";
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  std::string fifo = dir.path() + "/fifo.cfg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &path : {zero, fifo}) {
    EXPECT_FALSE(DictionaryLoad(d, path.c_str(), true, kDictCurrentEncoding, &msgs));
    Messages m = TakeMessages(msgs);
    ASSERT_EQ(m.size(), 1u) << path;
    EXPECT_EQ(m[0].first, "msg.dictionary.load.notRegularFile");
    EXPECT_EQ(m[0].second, "\"" + path + "\" is not a regular file.\n");
    EXPECT_TRUE(log.Contains("DictionaryLoad: \"" + path + "\" is not a regular file.\n"));
  }

  // A regular file past the size bound (sparse, so nothing is written) is a
  // read error; one line of settings before it stays read.
  std::string big = dir.Write("big.cfg", "a = 1\n");
  ASSERT_EQ(truncate(big.c_str(), (16 << 20) + 1), 0);
  EXPECT_FALSE(DictionaryLoad(d, big.c_str(), true, kDictCurrentEncoding, &msgs));
  Messages m = TakeMessages(msgs);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].first, "msg.dictionary.read.readError");
  EXPECT_EQ(m[0].second, "File \"" + big + "\" line 2: " + strerror(EFBIG) + ".\n");
  EXPECT_TRUE(Dictionary_IsDefined(d, "a"));

  // Exactly at the bound is read through: its line of NUL bytes is a syntax
  // error, not a read error.
  std::string edge = dir.Write("edge.cfg", "a = 1\n");
  ASSERT_EQ(truncate(edge.c_str(), 16 << 20), 0);
  EXPECT_FALSE(DictionaryLoad(d, edge.c_str(), true, kDictCurrentEncoding, &msgs));
  m = TakeMessages(msgs);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].first, "msg.dictionary.read.syntaxError");
}

TEST(DictRead, LoadsAFileAndClearsOnRequest) {
  ScratchDir dir;
  std::string first = dir.Write("one", "a = 1\n");
  std::string second = dir.Write("two", "b = 2\n");
  DictHolder d;
  ASSERT_TRUE(DictionaryLoad(d, first.c_str(), true, kDictCurrentEncoding, nullptr));
  ASSERT_TRUE(DictionaryLoad(d, second.c_str(), false, kDictCurrentEncoding, nullptr));
  EXPECT_TRUE(Dictionary_IsDefined(d, "a"));
  EXPECT_TRUE(Dictionary_IsDefined(d, "b"));
  ASSERT_TRUE(DictionaryLoad(d, second.c_str(), true, kDictCurrentEncoding, nullptr));
  EXPECT_FALSE(Dictionary_IsDefined(d, "a"));
}

}  // namespace
