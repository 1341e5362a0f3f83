// The symbolic link a sender may open instead of the terminal's own path,
// such as a Wine COM port. Several boards may start at once on one path: of
// those, one gets the link and the others refuse it.
#pragma once

#include <string>

// The path a board's link leads to: its own descriptor of the terminal,
// /proc/PID/fd/N, which is gone with the board. A link to /dev/pts/N would
// outlive a board killed with -9 and lead to whatever terminal is given that
// number next, a user's shell say.
std::string BoardLinkTarget(int terminalFd);

// Makes linkPath lead to terminal. An existing link is replaced only when it
// leads to a board's terminal that is gone; every refusal is reported.
bool CreateLink(const std::string& linkPath, const std::string& terminal);

// Removes the link only while it still leads to terminal. False when that
// failed, reported.
bool RemoveLink(const std::string& linkPath, const std::string& terminal);
