// The initial push service URL, compiled into each program separately (see
// globals.h): ZAV_PUSH_BASE_URL comes from the build.
#include "globals.h"

extern const char* const initialPushBaseUrl = ZAV_PUSH_BASE_URL;
