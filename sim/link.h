// The symbolic link a sender may open instead of the terminal's own path,
// such as a Wine COM port. Several boards may start at once on one path: of
// those, one gets the link and the others refuse it.
#pragma once

#include <string>

// Makes linkPath lead to terminal. An existing link is replaced only when it
// leads to a pseudo-terminal that is gone; every refusal is reported.
bool CreateLink(const std::string& linkPath, const std::string& terminal);

// Removes the link only while it still leads to terminal. False when that
// failed, reported.
bool RemoveLink(const std::string& linkPath, const std::string& terminal);
