// The floor for one switch: a process that starts, sleeps the 5 ms that
// Kavnori pauses after opening the port, and exits. Built with the same
// compiler and link options as the packaged Kavnori.
#include <time.h>

int main() {
  struct timespec pause = {0, 5L * 1000L * 1000L};
  nanosleep(&pause, nullptr);
  return 0;
}
