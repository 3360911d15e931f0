// Where the agent's debug lines go and how they look.
#pragma once

/// Installs the agent's debug-line format: time, file, line and function
/// before each message, written to stderr. On Linux it also pins TZ to the
/// system zone file when TZ is unset, which keeps time stamps cheap.
void installMessagePattern();
