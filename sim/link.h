// The symbolic link a sender may open instead of the terminal's own path,
// such as a Wine COM port. Several boards may start at once on one path: of
// those, one gets the link and the others refuse it.
#pragma once

#include <string>

// Where a board's link leads: /proc/PID/fd/D/terminal-T, D being the
// board's own descriptor of a folder it made (TMPDIR or /tmp), in which the
// link terminal-T leads to the terminal, T the board's start in nanoseconds
// since boot. Through /proc it is gone with the board: a link to /dev/pts/N
// would outlive a board killed with -9 and lead to whatever terminal is given
// that number next, a user's shell say. Through the folder, whose entry no
// other process has, it leads nowhere after the pid is given to a new board
// that holds its own folder at D: that folder's entry names a later start,
// since the boot clock only moves on and the new board started after the old
// one was gone. /proc/PID/fd/N alone led straight into that board's terminal.
struct TerminalFolder {
  std::string path;
  std::string entry;  // terminal-T
  int fd = -1;
};

// False when the folder, its link or its descriptor could not be made,
// reported; nothing is left behind then.
bool OpenTerminalFolder(const std::string& terminalPath, TerminalFolder* folder);
std::string BoardLinkTarget(const TerminalFolder& folder);
// Removes the entry and the folder; a folder of a board killed with -9 stays,
// its link leading to a terminal that is gone or another's, but no board's
// link leads into it any more.
void CloseTerminalFolder(TerminalFolder* folder);

// Makes linkPath lead to terminal. An existing link is replaced only when it
// leads to a board's terminal that is gone; every refusal is reported.
bool CreateLink(const std::string& linkPath, const std::string& terminal);

// Removes the link only while it still leads to terminal. False when that
// failed, reported.
bool RemoveLink(const std::string& linkPath, const std::string& terminal);
