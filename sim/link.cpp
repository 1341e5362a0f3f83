#include "sim/link.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "sim/output_queue.h"

namespace {

// Boards that start at once on one link path may each find a link another
// has just moved or made; after this many tries the path is given up.
constexpr int kLinkAttempts = 3;

std::string LinkTarget(const std::string& linkPath) {
  char target[512];
  const ssize_t length = readlink(linkPath.c_str(), target, sizeof target - 1);
  if (length < 0) return "";
  return std::string(target, static_cast<std::size_t>(length));
}

// Moves `at` past `prefix` and the number after it; false when either is
// not there.
bool SkipNumbered(const std::string& path, std::size_t* at, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  if (path.compare(*at, length, prefix) != 0) return false;
  const std::size_t digits = path.find_first_not_of("0123456789", *at + length);
  const std::size_t end = digits == std::string::npos ? path.size() : digits;
  if (end == *at + length) return false;
  *at = end;
  return true;
}

// A board's terminal as a board links it (/proc/PID/fd/D/terminal-T), or as
// boards before it did (/proc/PID/fd/N, /dev/pts/N).
bool IsBoardTerminalPath(const std::string& path) {
  std::size_t at = 0;
  if (SkipNumbered(path, &at, "/dev/pts/")) return at == path.size();
  at = 0;
  if (!SkipNumbered(path, &at, "/proc/") || !SkipNumbered(path, &at, "/fd/")) return false;
  return at == path.size() || (SkipNumbered(path, &at, "/terminal-") && at == path.size());
}

// A terminal that still exists belongs to a live board, or (a /dev/pts/N)
// to a shell. Only one whose entry is gone (its board was killed with -9)
// is free, or one that is now this board's own: the next simulator is often
// given the number of the one that was killed, which an older board's
// /dev/pts/N link names. terminal is this board's /proc/PID/fd/N.
bool LeadsToAGoneTerminal(const std::string& target, const std::string& terminal) {
  if (target == terminal || target == LinkTarget(terminal)) return true;
  struct stat info;
  const int found = stat(target.c_str(), &info);
  const int error = errno;
  return found != 0 && error == ENOENT;
}

enum class Aside { kDeleted, kNotThere, kPutBack, kFailed };

// Moves the link at linkPath aside, then deletes it if it leads to
// `terminal` (or, with anyGone, to any terminal that is gone), and otherwise
// puts it back. Looking first and deleting after would leave a window in
// which a link that another board made meanwhile is deleted: one moved aside
// is this process's alone to look at.
Aside DeleteLinkIfItLeads(const std::string& linkPath, const std::string& terminal, bool anyGone,
                          const char* what) {
  const std::size_t slash = linkPath.rfind('/');
  const std::string aside = linkPath.substr(0, slash == std::string::npos ? 0 : slash + 1) +
                            ".relay-board-sim-" + std::to_string(getpid());
  const int moved = rename(linkPath.c_str(), aside.c_str());
  const int error = errno;
  if (moved != 0 && error == ENOENT) return Aside::kNotThere;
  if (moved != 0) {
    ReportFailure(what, linkPath, error);
    return Aside::kFailed;
  }
  const std::string target = LinkTarget(aside);
  if (target == terminal || (anyGone && LeadsToAGoneTerminal(target, terminal))) {
    unlink(aside.c_str());
    return Aside::kDeleted;
  }
  // A hard link to the link itself: it fails, rather than replaces, should
  // yet another link be there by now.
  const int putBack = linkat(AT_FDCWD, aside.c_str(), AT_FDCWD, linkPath.c_str(), 0);
  const int putBackError = errno;
  if (putBack != 0) {
    Say("relay-board-sim: cannot put %s back in place of %s: %s\n", aside.c_str(), linkPath.c_str(),
        std::strerror(putBackError));
    return Aside::kFailed;
  }
  unlink(aside.c_str());
  return Aside::kPutBack;
}

}  // namespace

bool OpenTerminalFolder(const std::string& terminalPath, TerminalFolder* folder) {
  struct timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  const long long started = static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
  const char* temporary = getenv("TMPDIR");
  std::string path = std::string(temporary != nullptr && temporary[0] == '/' ? temporary : "/tmp") +
                     "/relay-board-sim.XXXXXX";
  const char* made = mkdtemp(&path[0]);
  const int error = errno;
  if (made == nullptr) {
    ReportFailure("mkdtemp", path, error);
    return false;
  }
  *folder = TerminalFolder{path, "terminal-" + std::to_string(started), -1};
  const std::string entry = path + "/" + folder->entry;
  const int linked = symlink(terminalPath.c_str(), entry.c_str());
  const int linkError = errno;
  if (linked == 0) folder->fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int openError = errno;
  if (folder->fd >= 0) return true;
  ReportFailure(linked == 0 ? "open" : "symlink", linked == 0 ? path : entry,
                linked == 0 ? openError : linkError);
  CloseTerminalFolder(folder);
  return false;
}

std::string BoardLinkTarget(const TerminalFolder& folder) {
  return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(folder.fd) + "/" +
         folder.entry;
}

void CloseTerminalFolder(TerminalFolder* folder) {
  if (folder->path.empty()) return;
  unlink((folder->path + "/" + folder->entry).c_str());
  rmdir(folder->path.c_str());
  if (folder->fd >= 0) close(folder->fd);
  *folder = TerminalFolder{};
}

// Made only where nothing is (symlink fails on any existing name), so that of
// boards started at once on one path, one gets it and the others see its
// link to a live terminal and refuse it.
bool CreateLink(const std::string& linkPath, const std::string& terminal) {
  for (int attempt = 0; attempt < kLinkAttempts; ++attempt) {
    const int made = symlink(terminal.c_str(), linkPath.c_str());
    const int error = errno;
    if (made == 0) return true;
    if (error != EEXIST) {
      ReportFailure("cannot create link", linkPath, error);
      return false;
    }
    struct stat info;
    const int found = lstat(linkPath.c_str(), &info);
    const int lstatError = errno;
    if (found != 0 && lstatError == ENOENT) continue;
    const std::string target = LinkTarget(linkPath);
    const bool isLink = found == 0 && S_ISLNK(info.st_mode);
    const bool toTerminal = isLink && IsBoardTerminalPath(target);
    if (!toTerminal || !LeadsToAGoneTerminal(target, terminal)) {
      const std::string why = !isLink      ? std::strerror(error)
                              : toTerminal ? "it leads to " + target + ", a terminal in use"
                                           : "it leads to " + target;
      Say("relay-board-sim: cannot create link %s: %s; only a link to a board's terminal "
          "(/proc/PID/fd/..., /dev/pts/N) that is gone is replaced\n",
          linkPath.c_str(), why.c_str());
      return false;
    }
    Say("relay-board-sim: replacing %s, a link to the board's terminal %s, which is gone\n",
        linkPath.c_str(), target.c_str());
    if (DeleteLinkIfItLeads(linkPath, terminal, true, "cannot replace link") == Aside::kFailed) {
      return false;
    }
  }
  ReportFailure("cannot create link", linkPath, EEXIST);
  return false;
}

// Someone may have replaced the link. Done while the terminal is still open,
// so that no other board can take the link over as one to a terminal that is
// gone.
bool RemoveLink(const std::string& linkPath, const std::string& terminal) {
  if (LinkTarget(linkPath) == terminal) {
    const Aside outcome = DeleteLinkIfItLeads(linkPath, terminal, false, "cannot remove link");
    if (outcome == Aside::kFailed) return false;
    if (outcome == Aside::kDeleted) return true;
  }
  Say("relay-board-sim: %s no longer points to %s; left as it is\n", linkPath.c_str(),
      terminal.c_str());
  return true;
}
