// What every layer shares: the one monotonic clock, the stop that a signal
// asks for, and the settings this build was configured with.
//
// Contract: monotonic_ns() and monotonic_ms() read CLOCK_MONOTONIC, -1 when
// it cannot be read. g_stop_signal is the signal that asked the run to stop,
// 0 while none has: the handlers the entry installs set it, every wait looks
// at it and ends, and a stop then unwinds to the entry. trim_blanks() drops
// the blanks and tabs around a modem's line. Nothing here does I/O.
#pragma once

#include "build_config.h"  // devices, lock directory, waits: chosen when building

#include <csignal>
#include <cstdint>
#include <string_view>

extern volatile std::sig_atomic_t g_stop_signal;

std::int64_t monotonic_ns();
long long monotonic_ms();

// `line` without the blanks and tabs around it: modems pad their lines.
std::string_view trim_blanks(std::string_view line);
