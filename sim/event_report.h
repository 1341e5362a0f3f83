// One line of output per frame event: for a person (relays drawn as a row),
// or JSON Lines with stable keys for scripts and tests.
#pragma once

#include <string>

#include "sim/frame_decoder.h"
#include "sim/relay_bank.h"
#include "text/escaped_text.h"

// The first line of output. A person's is the bare slave path, so that a
// script can `read` it; the JSON one is {"event":"ready","path":...}.
std::string FormatReadyLine(const std::string& slavePath, const std::string& linkPath, bool json);

// `bank` is the state after the event was applied (or not).
std::string FormatHumanLine(const FrameEvent& event, const RelayBank& bank);
// arrivedUs: the monotonic clock (CLOCK_MONOTONIC, microseconds) when the
// simulator read the event's last bytes, as "monotonic_us" before
// "applied"; left out when negative.
std::string FormatJsonLine(const FrameEvent& event, const RelayBank& bank,
                           long long arrivedUs = -1);

// "bad_checksum" and so on; "frame" for a valid one.
const char* EventKindName(FrameEventKind kind);
