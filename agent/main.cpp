// Program entry of the agent.

#include "agent/startup.h"
#include "lib/config/preference.h"
#include "lib/unicode/unicode.h"

int main(int argc, char **argv) {
  // Arguments in UTF-8, whatever the locale's encoding.
  Unicode_Startup(argc, &argv, nullptr);
  int status = SightwellMain(argc, argv);
  Unicode_Shutdown(argc, argv, nullptr);
  Preference_Exit();
  return status;
}
