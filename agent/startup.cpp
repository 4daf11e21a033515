// Start-up of the agent and its two signal handlers.

#include "agent/startup.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>

#include "agent/message_locale.h"
#include "agent/remote_routine.h"
#include "base/c_owner.h"
#include "lib/config/preference.h"
#include "lib/dict/dictionary.h"
#include "lib/log/log.h"
#include "lib/log/log_file_output.h"
#include "lib/log/log_output.h"
#include "lib/sig/panic.h"
#include "lib/string/str.h"
#include "lib/thread/vthread.h"

#ifndef SIGHTWELL_VERSION
#define SIGHTWELL_VERSION "0.0.0"
#endif
#ifndef SIGHTWELL_BUILD_NUMBER
#define SIGHTWELL_BUILD_NUMBER "0"
#endif

namespace {

constexpr const char kAppName[] = "sightwell";

// Start-up options, one per process, cleared at entry.
struct StartupOptions {
  char cardName[7] = {};  // at most 6 characters
  bool greeterWorkflow = false;
  COwner<char, free> messageLocale;  // the message language chosen at start
};

void OnFatalSignal(int sig) {
  VThread_SetIsInSignal(true);
  Log_Warning("SightwellMain: Received fatal signal %d, dumping backtrace.\n", sig);
  Backtrace(0);
  VThread_SetIsInSignal(false);
  // SA_RESETHAND already restored the default action; raise again and
  // unblock so the process ends by this very signal (with a core where the
  // system allows it).
  signal(sig, SIG_DFL);
  raise(sig);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// A SIGTERM from another process ends the agent at once; one the agent
// raised itself (the session bus library does so when the bus goes away at
// logout) is ignored so the logout can reach the parent. _exit keeps the
// handler clear of exit handlers and destructors, which are not safe here.
void OnTermSignal(int, siginfo_t *info, void *) {
  int savedErrno = errno;
  // A kernel-generated signal (si_code > 0) carries no sender.
  if (info == nullptr || info->si_code > 0) {
    VThread_SetIsInSignal(true);
    Log_Warning("SightwellMain: Received SIGTERM, exiting cleanly.\n");
    _exit(1);
  }
  if (info->si_pid != getpid()) {
    _exit(0);
  }
  VThread_SetIsInSignal(true);
  Log_Warning("SightwellMain: Received SIGTERM from self, exiting cleanly.\n");
  VThread_SetIsInSignal(false);
  errno = savedErrno;
}

void InstallSignalHandlers(void) {
  static const int kFatalSignals[] = {SIGSEGV, SIGABRT, SIGFPE, SIGBUS, SIGILL};
  for (int sig : kFatalSignals) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnFatalSignal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    if (sigaction(sig, &sa, nullptr) != 0) {
      Log_Warning("SightwellMain: Failed to set signal handler for signal %d.\n", sig);
    }
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = OnTermSignal;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGTERM, &sa, nullptr) != 0) {
    Log_Warning("SightwellMain: Failed to set signal handler for SIGTERM.\n");
  }
}

void InitLogFile(void) {
  COwner<Dictionary, Dictionary_Free> params(Dictionary_Create());
  Dictionary_SetString(params.get(), "sightwell.log.fileName", "log.config");
  Dictionary_SetString(params.get(), "sightwell", "log.suffix");
  Dictionary_SetLong(params.get(), 49, "log.keepOld");
  Log_Reset();
  Log_SetProductInfo("Velmora Paloven", SIGHTWELL_VERSION, SIGHTWELL_BUILD_NUMBER, "Release");
  // Needed only while the output is made.
  LogOutput *output = Log_InitWithFile(kAppName, params.get(), Log_ConfigProvider(), false);
  params.reset();
  if (output == nullptr) {
    Log_Warning("Unable to proceed without a log file.\n");
    Panic("SightwellMain: Unable to initialize logging.\n");
  }
  Log_PurgeOldFiles(output, nullptr, nullptr);
}

}  // namespace

int SightwellMain(int, char **) {
  StartupOptions options;
  InstallSignalHandlers();
  VThread_Init(kAppName);
  Log_SetStderrLevel(0, kLogWarning);
  options.messageLocale = SetMessageLocale("velmora-mks");
  Preference_Init();
  Panic_LoadSettings();
  InitLogFile();
  Preference_Log();

  const char *card = getenv("QUILLWORKER_CARD");
  if (card == nullptr) {
    Panic("SightwellMain: Environment variable QUILLWORKER_CARD is not set.\n");
  }
  // Seven characters or more panic in the string module: the card name
  // names files and a socket, so a cut name would be a different session.
  Str_Strcpy(options.cardName, card, sizeof options.cardName);
  const char *workflow = getenv("REMOTE_SESSION_WORKFLOW");
  options.greeterWorkflow = workflow != nullptr && strncasecmp(workflow, "greeter", 7) == 0;

  if (RemoteRoutine(options.cardName, options.greeterWorkflow) < 0) {
    Log_Warning("SightwellMain: Failed to start Wayland remote routine\n");
    return 1;
  }
  return 0;
}
