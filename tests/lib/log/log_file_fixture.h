// A fixture for the log file output: a private folder, parameters built
// per test, and helpers to read the files back.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lib/dict/dictionary.h"
#include "lib/log/log.h"
#include "lib/log/log_file_internal.h"
#include "lib/log/log_file_output.h"
#include "lib/log/log_output.h"

// A configuration provider backed by a map (text values; integers and
// booleans are parsed from them).
struct MapProvider {
  static std::map<std::string, std::string> &Values() {
    static std::map<std::string, std::string> values;
    return values;
  }
  static char *GetString(const char *def, const char *key) {
    auto it = Values().find(key);
    if (it == Values().end()) {
      return def != nullptr ? strdup(def) : nullptr;
    }
    return strdup(it->second.c_str());
  }
  static int32_t GetInt32(int32_t def, const char *key) {
    auto it = Values().find(key);
    return it == Values().end() ? def : static_cast<int32_t>(atol(it->second.c_str()));
  }
  static bool GetBool(bool def, const char *key) {
    auto it = Values().find(key);
    return it == Values().end() ? def : it->second == "TRUE";
  }
  static const LogConfigProvider *Get() {
    static const LogConfigProvider provider = {GetString, GetInt32, GetBool};
    return &provider;
  }
};

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    char tmpl[] = "/tmp/logfile-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    // The private temporary directory is settled below the test folder.
    const char *tmp = getenv("TMPDIR");
    savedTmpDir_ = tmp != nullptr ? tmp : "";
    hadTmpDir_ = tmp != nullptr;
    setenv("TMPDIR", dir_.c_str(), 1);
    Log_Reset();
    DrainEarlyRing();
    Log_SetLogLevel(0, kLogInfo);
    Log_SetStderrLevel(0, -1);
    MapProvider::Values().clear();
    params_ = Dictionary_Create();
    Log_SetProductInfo("TestApp", "1.2.3", "build-42", "Release");
  }
  // Delivers what earlier tests left queued to a throw-away output.
  static void DrainEarlyRing() {
    static const LogOutputOps ops = {
        [](LogOutput *, LogMessageHeader *, size_t, const char *) {},
        [](LogOutput *) { return true; }, [](LogOutput *) {}, nullptr};
    static LogOutput sink;
    sink = LogOutput{kLogOutputVersion, kLogOutputType34567, nullptr, nullptr, 0, -1, 0, &ops};
    ASSERT_TRUE(Log_AddOutput(&sink));
    Log_Reset();
  }
  void TearDown() override {
    Log_Reset();
    Log_SetStderrLevel(0, -1);
    Dictionary_Free(params_);
    LogFileSetClock(nullptr);
    LogFileSetSystemLogDir(nullptr);
    if (hadTmpDir_) {
      setenv("TMPDIR", savedTmpDir_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    if (getenv("LOGTEST_KEEP")) { printf("kept %s\n", dir_.c_str()); return; }
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  std::string Path(const std::string &name) const { return dir_ + "/" + name; }

  // Parameters for a fixed name in the test folder without time stamps,
  // thread names and rotation at start, so lines are predictable.
  void FixedName(const std::string &name) {
    Dictionary_SetString(params_, Path(name).c_str(), "log.fileName");
    Dictionary_SetLong(params_, 0, "log.keepOld");
    Dictionary_SetBool(params_, false, "log.useTimeStamps");
    Dictionary_SetBool(params_, false, "log.useThreadName");
  }

  LogFileOutput *Create(const LogConfigProvider *provider = nullptr,
                        const char *appPrefix = nullptr) {
    return reinterpret_cast<LogFileOutput *>(
        Log_NewFileOutput(appPrefix, "file", params_, provider));
  }

  LogFileOutput *CreateAndAdd(const LogConfigProvider *provider = nullptr) {
    LogFileOutput *out = Create(provider);
    EXPECT_NE(out, nullptr);
    if (out != nullptr && !Log_AddOutput(&out->head)) {
      ADD_FAILURE() << "registration refused";
      Log_FreeOutput(&out->head);
      return nullptr;
    }
    return out;
  }

  static std::string Read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static std::vector<std::string> Lines(const std::string &path) {
    std::vector<std::string> lines;
    std::istringstream in(Read(path));
    std::string line;
    while (std::getline(in, line)) {
      // The preference store reports lookups made before it is loaded.
      if (line.find("PREF early PreferenceGet") == std::string::npos) {
        lines.push_back(line);
      }
    }
    return lines;
  }
  static void Write(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

  std::string dir_;
  std::string savedTmpDir_;
  bool hadTmpDir_ = false;
  Dictionary *params_ = nullptr;
};
