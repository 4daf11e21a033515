// The descriptor owner lives in the support library, shared with lib/.
#pragma once

#include "lib/misc/unique_fd.h"
