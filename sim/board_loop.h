// The board at work: reads what senders write to the terminal, reports
// every frame on standard output and switches the relays.
#pragma once

#include "sim/options.h"
#include "sim/output_queue.h"
#include "sim/pty.h"

// Runs until a signal comes on signalFd, the frames asked for are all
// reported and the sender has closed the terminal (2 s at most), or
// something fails (reported); the exit status. Closes pty's slave after the
// last frame.
int RunBoard(Pty* pty, int signalFd, const Options& options, Output* output);
