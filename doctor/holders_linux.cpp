#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "doctor/doctor_linux.h"
#include "serial/uucp_lock_linux.h"

std::string ProcessCommand(const std::string& root, pid_t pid) {
  return FirstLine(root + "/proc/" + std::to_string(pid) + "/comm");
}

bool ProcessRuns(const std::string& root, const std::string& command) {
  for (pid_t pid : ProcessIds(root)) {
    if (ProcessCommand(root, pid) == command) return true;
  }
  return false;
}

// Lines as "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF": the lock holder's
// pid, then the file's filesystem (major:minor in hex) and inode. A waiter's
// line has "->" after the number and holds nothing.
std::vector<pid_t> FlockHolders(const std::string& root, dev_t filesystem, ino_t inode) {
  std::vector<pid_t> pids;
  std::istringstream in(ReadFile(root + "/proc/locks"));
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> words = Words(line);
    // A flock, or a record lock (fcntl, lockf: POSIX; open-file ones: OFDLCK,
    // whose pid /proc shows as -1).
    if (words.size() < 6 || (words[1] != "FLOCK" && words[1] != "POSIX" && words[1] != "OFDLCK"))
      continue;
    unsigned fsMajor = 0, fsMinor = 0;
    unsigned long long fileInode = 0;
    if (std::sscanf(words[5].c_str(), "%x:%x:%llu", &fsMajor, &fsMinor, &fileInode) != 3) continue;
    if (fsMajor != major(filesystem) || fsMinor != minor(filesystem) || fileInode != inode)
      continue;
    pids.push_back(static_cast<pid_t>(std::atol(words[4].c_str())));
  }
  return pids;
}

std::map<std::string, std::vector<Opener>> Openers(const std::string& root,
                                                   const std::vector<std::string>& paths) {
  std::map<std::string, std::vector<Opener>> found;
  if (paths.empty()) return found;  // no walk through every process for nothing
  const pid_t self = ::getpid();
  for (pid_t pid : ProcessIds(root)) {
    if (pid == self) continue;
    const std::string process = root + "/proc/" + std::to_string(pid);
    for (const std::string& fd : FolderEntries(process + "/fd")) {
      char target[PATH_MAX];
      const ssize_t length = ::readlink((process + "/fd/" + fd).c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      const std::string path(target, static_cast<std::size_t>(length));
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) continue;
      const std::string info = ReadFile(process + "/fdinfo/" + fd);
      const bool locks = info.find(" FLOCK ") != std::string::npos ||
                         info.find(" POSIX ") != std::string::npos ||
                         info.find(" OFDLCK ") != std::string::npos;
      std::vector<Opener>& openers = found[path];
      const auto same = std::find_if(openers.begin(), openers.end(),
                                     [&](const Opener& o) { return o.pid == pid; });
      if (same == openers.end()) {
        openers.push_back({pid, locks});
      } else {
        same->holdsFlock = same->holdsFlock || locks;
      }
    }
  }
  return found;
}

std::string ProgramWord(const std::string& command) {
  return command.empty() ? "that program" : ShellWord(command);
}

std::string DescribeProcess(pid_t pid, const std::string& command) {
  return (command.empty() ? std::string("a process") : command) + " (pid " + std::to_string(pid) +
         ")";
}

bool FindLockFile(const std::string& root, const std::string& device, UucpLock* lock) {
  const auto below = [&](const char* const* paths) {
    std::vector<std::string> folders;
    for (const char* const* path = paths; *path != nullptr; ++path) folders.push_back(root + *path);
    return folders;
  };
  const std::vector<std::string> lockFolders = below(kUucpLockPlaces.lockFolders);
  const std::vector<std::string> linkFolders = below(kUucpLockPlaces.linkFolders);
  const auto pointers = [](const std::vector<std::string>& folders) {
    std::vector<const char*> list;
    for (const std::string& folder : folders) list.push_back(folder.c_str());
    list.push_back(nullptr);
    return list;
  };
  const std::vector<const char*> locks = pointers(lockFolders), links = pointers(linkFolders);
  const std::string proc = root + kUucpLockPlaces.proc, dev = root + kUucpLockPlaces.dev;
  return FindUucpLock(device.c_str(), {locks.data(), links.data(), proc.c_str(), dev.c_str()},
                      lock);
}

std::string LockPath(const std::string& root, const UucpLock& lock) {
  return lock.path + std::min(root.size(), std::strlen(lock.path));
}

namespace {

bool IsBoard(const Holder& holder) { return holder.command == "relay-board-sim"; }

Holder& HolderFor(PortHolders* holders, pid_t pid, const std::string& command) {
  for (Holder& holder : holders->programs) {
    if (holder.pid == pid) return holder;
  }
  holders->programs.push_back({pid, command});
  return holders->programs.back();
}

std::vector<Holder> HoldersBy(const PortHolders& holders, bool Holder::*how) {
  std::vector<Holder> those;
  for (const Holder& holder : holders.programs) {
    if (holder.*how) those.push_back(holder);
  }
  return those;
}

std::string DescribeHolders(const std::vector<Holder>& holders) {
  std::vector<std::string> names;
  for (const Holder& holder : holders) names.push_back(DescribeProcess(holder.pid, holder.command));
  return Joined(names);
}

// kill is never the advice for pid 1, the first process of the system (or
// container), nor for the virtual board, which keeps its end of the port
// open; nor one kill for several programs, of which maybe one is at fault.
std::string StopFix(const std::vector<Holder>& holders, const std::string& port) {
  if (holders.size() > 1) {
    return "close these programs one at a time, and ask again: kavnori-doctor " + ShellWord(port);
  }
  const Holder& holder = holders.front();
  const std::string program = ProgramWord(holder.command);
  if (holder.pid == 1) {
    return "close " + program + "; pid 1 is the system's first process, not one to kill";
  }
  if (IsBoard(holder)) {
    return "relay-board-sim is the virtual board itself: close the other program that holds the "
           "port, or start the board again";
  }
  return "close " + program + ", or: kill " + std::to_string(holder.pid);
}

void AddHolderDetails(Problem* problem, const std::vector<Holder>& holders) {
  if (holders.size() == 1) {
    problem->details.push_back(NumberDetail("pid", holders.front().pid));
    problem->details.push_back(TextDetail("command", holders.front().command));
  } else {
    problem->details.push_back(TextDetail("holders", DescribeHolders(holders)));
  }
}

// A holder this user cannot see: only root can tell which program it is.
void AddUnseenHolder(CheckedPort* checked, ProblemCode code, const std::string& what) {
  AddProblem(checked->report, code, what + "; this user cannot see which.",
             "sudo kavnori-doctor " + ShellWord(checked->given) + " names it");
}

}  // namespace

// The open file that holds a flock names its process best: the pid in
// /proc/locks is the one that took it, which may have gone since (flock(1)
// running a command, say).
PortHolders FindPortHolders(const std::string& root, const std::string& lockName,
                            const struct stat& node, const std::vector<Opener>& openers) {
  PortHolders holders;
  for (const Opener& opener : openers) {
    if (opener.holdsFlock)
      HolderFor(&holders, opener.pid, ProcessCommand(root, opener.pid)).flock = true;
  }
  for (pid_t pid : FlockHolders(root, node.st_dev, node.st_ino)) {
    holders.locked = true;
    const std::string command = ProcessCommand(root, pid);
    if (pid > 0 && !command.empty()) HolderFor(&holders, pid, command).flock = true;
  }
  holders.hasLockFile = FindLockFile(root, lockName, &holders.lockFile);
  if (holders.hasLockFile) {
    holders.lockPath = LockPath(root, holders.lockFile);
    const pid_t pid = holders.lockFile.pid;
    if (holders.lockFile.held && pid > 0)
      HolderFor(&holders, pid, ProcessCommand(root, pid)).lockFile = true;
  }
  for (const Opener& opener : openers) {
    HolderFor(&holders, opener.pid, ProcessCommand(root, opener.pid)).open = true;
  }
  return holders;
}

std::string HeldByText(const std::string& root, const PortHolders& holders) {
  std::vector<std::string> ways;
  for (const Holder& holder : holders.programs) {
    ways.push_back(DescribeProcess(holder.pid, holder.command) + ", " +
                   (holder.flock      ? "flock"
                    : holder.lockFile ? "lock file " + holders.lockPath
                                      : "open"));
  }
  if (holders.hasLockFile && !holders.lockFile.judged) {
    ways.push_back("lock file " + holders.lockPath + " of user " +
                   UserName(root, holders.lockFile.owner) +
                   (holders.lockFile.readable ? ", naming no pid" : ", unreadable here"));
  }
  const std::string text = Joined(ways);
  return text.empty() ? "none" : text;
}

// Read from /proc/locks, not by taking a lock: a lock of the doctor's own,
// however short, would turn away a Kavnori run or picocom started meanwhile.
void CheckFlock(CheckedPort* checked, const PortHolders& holders) {
  if (!holders.locked && HoldersBy(holders, &Holder::flock).empty()) return;
  const std::string what = checked->device + " locked (flock)";
  const std::vector<Holder> lockers = HoldersBy(holders, &Holder::flock);
  if (lockers.empty()) {
    AddUnseenHolder(checked, ProblemCode::kHeldByLock, "Another program holds " + what);
    return;
  }
  AddHolderDetails(&AddProblem(checked->report, ProblemCode::kHeldByLock,
                               DescribeHolders(lockers) +
                                   (lockers.size() == 1 ? " holds " : " hold ") + what + ".",
                               StopFix(lockers, checked->given)),
                   lockers);
}

// TIOCEXCL turns away every later opener, root too. Nothing tells which of
// the programs that have the port open set it, so all of them are named. The
// virtual board never sets it, but its own end of its terminal keeps a mark
// that a program left behind: the board is no holder to stop.
void CheckExclusive(CheckedPort* checked, const PortHolders& holders) {
  const std::string what = checked->device +
                           " was made exclusive (TIOCEXCL): only root may open it, and Kavnori "
                           "turns it away even as root";
  std::vector<Holder> openers = HoldersBy(holders, &Holder::open);
  const auto board = std::find_if(openers.begin(), openers.end(), IsBoard);
  const std::string boardName =
      board == openers.end() ? "" : DescribeProcess(board->pid, board->command);
  openers.erase(std::remove_if(openers.begin(), openers.end(), IsBoard), openers.end());
  if (openers.empty() && !boardName.empty()) {
    AddProblem(checked->report, ProblemCode::kExclusive,
               what + "; only the virtual board " + boardName +
                   " has it open, whose terminal keeps the mark after the program that set it "
                   "has gone.",
               "start relay-board-sim anew for a terminal without the mark (sudo kavnori-doctor " +
                   ShellWord(checked->given) + " names any other program that has it open)");
    return;
  }
  if (openers.empty()) {
    AddUnseenHolder(checked, ProblemCode::kExclusive,
                    what + "; no program that this user can see has it open");
    return;
  }
  AddHolderDetails(&AddProblem(checked->report, ProblemCode::kExclusive,
                               what + "; open by " + DescribeHolders(openers) + ".",
                               StopFix(openers, checked->given)),
                   openers);
}

// A lock file this user may not read counts as held, as Kavnori counts it:
// only its owner or root can tell whose it is, and it is never to be removed
// unseen.
void CheckUucpLock(CheckedPort* checked, const PortHolders& holders) {
  if (!holders.hasLockFile) return;
  const UucpLock& lock = holders.lockFile;
  const std::string& path = holders.lockPath;
  if (!lock.readable) {
    const std::string owner = UserName(checked->root, lock.owner);
    Problem& problem = AddProblem(
        checked->report, ProblemCode::kUucpLock,
        "The lock file " + path + " of user " + owner + " marks " + checked->device +
            " as held; this user may not read which program holds it.",
        "ask " + owner + " to close the program that uses the port (sudo kavnori-doctor " +
            ShellWord(checked->given) + " names it)");
    problem.details.push_back(TextDetail("lock", path));
    problem.details.push_back(TextDetail("owner", owner));
    return;
  }
  if (!lock.judged) {
    const std::string owner = UserName(checked->root, lock.owner);
    const long long minutes =
        std::max(0LL, static_cast<long long>(::time(nullptr) - lock.written) / 60);
    Problem& problem = AddProblem(
        checked->report, ProblemCode::kUucpLock,
        std::string(lock.isFile ? "The lock file " : "Something other than a lock file, at ") +
            path + (lock.isFile ? ", " : " (") + "of user " + owner + ", " +
            std::to_string(minutes) + " minutes old" + (lock.isFile ? ", names no pid" : ")") +
            ": Kavnori and minicom take " + checked->device + " as held.",
        "if no program uses the port (sudo kavnori-doctor " + ShellWord(checked->given) +
            " names those that have it open): sudo rm -r " + ShellWord(path));
    problem.details.push_back(TextDetail("lock", path));
    problem.details.push_back(TextDetail("owner", owner));
    return;
  }
  if (!lock.held) {
    AddProblem(checked->report, ProblemCode::kUucpLockStale,
               "The lock file " + path + " names pid " + std::to_string(lock.pid) +
                   ", which has ended; minicom and others refuse the port while it is there.",
               "sudo rm " + ShellWord(path));
    return;
  }
  // A live pid holds, as minicom and ser2net count it, also when it has no
  // file of the port open (minicom locks first and opens after). But after a
  // crash its pid may have gone to another program: kill is advised only for
  // one shown to have the port open.
  const std::vector<Holder> holder = {{lock.pid, ProcessCommand(checked->root, lock.pid)}};
  const auto opener = std::find_if(holders.programs.begin(), holders.programs.end(),
                                   [&](const Holder& h) { return h.pid == lock.pid && h.open; });
  const int files = ::open((checked->root + "/proc/" + std::to_string(lock.pid) + "/fd").c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (files >= 0) ::close(files);
  const std::string program = ProgramWord(holder.front().command);
  const std::string remove = "sudo rm " + ShellWord(path);
  std::string message = DescribeHolders(holder) + " holds " + checked->device +
                        " by its lock file " + path,
              fix = StopFix(holder, checked->given);
  if (opener == holders.programs.end() && files >= 0) {
    message +=
        ", but has no file of the port open: the lock may be left by a program that "
        "ended; its pid now belongs to " +
        (holder.front().command.empty() ? "another program" : holder.front().command) +
        ". Kavnori and minicom take the port as held while it runs";
    fix = "if " + program + " is no program that uses the port: " + remove;
  } else if (opener == holders.programs.end()) {
    message += "; this user cannot see whether it has the port open";
    fix = "close " + program + " if it uses the port, else: " + remove + " (sudo kavnori-doctor " +
          ShellWord(checked->given) + " tells which)";
  }
  Problem& problem = AddProblem(checked->report, ProblemCode::kUucpLock, message + ".", fix);
  AddHolderDetails(&problem, holder);
  problem.details.push_back(TextDetail("lock", path));
}

// Kavnori takes a lock file of its own only where this user may write; with
// none, minicom or ser2net started during a run cannot see that it has the
// port.
void CheckLockFolder(CheckedPort* checked) {
  std::vector<std::string> folders;
  for (const char* const* folder = kUucpLockPlaces.lockFolders; *folder != nullptr; ++folder) {
    if (::access((checked->root + *folder).c_str(), W_OK | X_OK) == 0) return;
    folders.push_back(*folder);
  }
  AddProblem(checked->report, ProblemCode::kLockFolder,
             "This user may write in no lock folder (" + Joined(folders) +
                 "): Kavnori switches without a lock file of its own, so minicom or ser2net "
                 "started during a run would not see that it has the port.",
             "sudo chmod 1777 /run/lock (Debian's mode), or run Kavnori as a member of the "
             "folder's group");
}

// A program beside the run reads what the board sends and may send on the
// line itself: a board that switches by itself. The virtual board keeps its
// own end open; holders a problem that blocks names are not named twice.
void CheckOtherOpeners(CheckedPort* checked, const TtyDevice& tty, const PortHolders& holders) {
  const auto& problems = checked->report->problems;
  if (std::any_of(problems.begin(), problems.end(),
                  [](const Problem& p) { return p.code == ProblemCode::kExclusive; }))
    return;
  for (const Holder& holder : holders.programs) {
    if (!holder.open || holder.flock || holder.lockFile || IsBoard(holder)) continue;
    const std::string who = DescribeProcess(holder.pid, holder.command);
    const bool modemManager = holder.command == "ModemManager";
    AddHolderDetails(
        &AddProblem(checked->report,
                    modemManager ? ProblemCode::kModemManager : ProblemCode::kOpenByOther,
                    modemManager ? who + " has " + checked->device +
                                       " open: it sends AT commands on the board's line and "
                                       "reads what comes back."
                                 : who + " has " + checked->device +
                                       " open too: it may read or send on the same line, so the "
                                       "board may switch by itself.",
                    modemManager ? ModemManagerFix(tty) : StopFix({holder}, checked->given)),
        {holder});
  }
}
