// The pseudo-terminal that stands for a board's end of the cable: what a
// sender writes to the slave comes out of the master.
#pragma once

#include <string>

struct Pty {
  int master;  // non-blocking, so that a wake-up with nothing to read cannot hang a loop
  // Held open while frames are read: with no slave open, reads on the
  // master fail with EIO and the kernel resets the line settings.
  int slave;
  std::string path;  // the slave's, which a sender opens
};

// The call that failed, and its error, when OpenPty returns false.
struct PtyFailure {
  const char* call;
  int error;
};

// On failure both descriptors are closed; path is kept once it is known,
// for the message.
bool OpenPty(Pty* pty, PtyFailure* failure);

// Once no process has the slave open, the master reports POLLHUP.
void CloseSlave(Pty* pty);

void ClosePty(Pty* pty);
