// Runs the real simulator on a real pseudo-terminal, as the command under
// test would meet it.
#include "sim/tests/simulator_process.h"

namespace {

const std::vector<std::uint8_t> kOn1Relay3 = {0x55, 0x01, 0x12, 0x00, 0x00, 0x00, 0x03, 0x6B};

TEST(SimulatorProcess, JsonFramesThroughTheLinkThenSigtermRemovesIt) {
  const LinkFolder folder;
  ASSERT_FALSE(folder.dir.empty());
  Simulator simulator = StartSimulator({"--json", "--link", folder.link});
  const KillOnExit guard = {&simulator};
  const std::string ready = ReadLine(&simulator);
  ASSERT_EQ(JsonText(ready, "event"), "ready") << ready;
  const std::string slavePath = JsonText(ready, "path");
  ASSERT_EQ(slavePath.rfind("/dev/pts/", 0), 0u) << ready;
  EXPECT_EQ(Resolved(folder.link), slavePath);

  const int port = open(folder.link.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(port, 0);
  // The simulator holds no lock of its own: the command locks the port.
  EXPECT_EQ(flock(port, LOCK_EX | LOCK_NB), 0);

  // The pty starts at the kernel's 38400: a board reads garbage.
  WriteBytes(port, kOn1Relay3);
  const std::string rejected = ReadLine(&simulator);
  EXPECT_EQ(JsonText(rejected, "kind"), "line_not_9600_8n1") << rejected;
  EXPECT_NE(rejected.find("\"baud\":38400"), std::string::npos) << rejected;
  EXPECT_NE(rejected.find("\"applied\":false"), std::string::npos) << rejected;

  SetBoardLine(port);
  const auto nowUs = [] {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
  };
  const long long writtenUs = nowUs();
  WriteBytes(port, kOn1Relay3);
  std::string frame = ReadLine(&simulator);
  // Read by the board between our write and our read of its line.
  const std::size_t at = frame.find(",\"monotonic_us\":");
  ASSERT_NE(at, std::string::npos) << frame;
  const std::size_t end = frame.find(',', at + 1);
  const long long readUs = std::stoll(frame.substr(at + 16, end - at - 16));
  EXPECT_TRUE(readUs >= writtenUs && readUs <= nowUs()) << frame;
  EXPECT_EQ(frame.erase(at, end - at),
            "{\"event\":\"frame\",\"bytes\":\"55 01 12 00 00 00 03 6B\",\"address\":1,\"relay\":3,"
            "\"power\":\"on\",\"relays\":[false,false,true,false,false,false,false,false,false,"
            "false,false,false,false,false,false,false],\"line\":{\"baud\":9600,\"data_bits\":8,"
            "\"parity\":\"none\",\"stop_bits\":1,\"output_processing\":false},\"applied\":true}");

  // A frame cut short is reported once the line goes quiet.
  WriteBytes(port, {0x55, 0x01});
  EXPECT_EQ(JsonText(ReadLine(&simulator), "kind"), "short_frame");

  // What came before the signal that ends it is reported, a cut frame as short.
  ASSERT_EQ(kill(simulator.pid, SIGSTOP), 0);
  ASSERT_EQ(waitpid(simulator.pid, nullptr, WUNTRACED), simulator.pid);  // reads nothing now
  WriteBytes(port, {0x55, 0x01, 0x12, 0x00, 0x00, 0x00, 0x03, 0x6B, 0x55, 0x01});
  close(port);
  ASSERT_TRUE(kill(simulator.pid, SIGTERM) == 0 && kill(simulator.pid, SIGCONT) == 0);
  EXPECT_NE(ReadLine(&simulator).find("\"applied\":true"), std::string::npos);
  EXPECT_EQ(JsonText(ReadLine(&simulator), "kind"), "short_frame");
  ExpectStopsAndRemovesItsLink(&simulator, folder.link);
}

// A sender may still be draining its write when the board has seen the
// last frame, a slow one long after: the board must not hang up on it.
TEST(SimulatorProcess, HumanOutputStopsAfterTheFramesAskedFor) {
  for (const int holdMs : {0, 300}) {
    SCOPED_TRACE("the sender holds the line " + std::to_string(holdMs) + " ms");
    Simulator simulator = StartSimulator({"--frames", "2"});
    const KillOnExit guard = {&simulator};
    const std::string slavePath = ReadLine(&simulator);
    ASSERT_EQ(slavePath.rfind("/dev/pts/", 0), 0u) << slavePath;
    ASSERT_EQ(slavePath.find(' '), std::string::npos) << "first line is the bare path";

    const int port = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(port, 0);
    SetBoardLine(port);
    // Relay 1 of board 7 on, then all of board 7 on, in one write.
    WriteBytes(port, {0x55, 0x07, 0x12, 0x00, 0x00, 0x00, 0x01, 0x6F, 0x55, 0x07, 0x12, 0x00, 0x00,
                      0x00, 0x00, 0x6E});
    const std::string first = ReadLine(&simulator), second = ReadLine(&simulator);
    poll(nullptr, 0, holdMs);
    EXPECT_EQ(tcdrain(port), 0) << std::strerror(errno);
    close(port);
    EXPECT_NE(first.find("board 7 relay 1 on"), std::string::npos) << first;
    EXPECT_NE(first.find("[#... .... .... ....]"), std::string::npos) << first;
    EXPECT_NE(second.find("board 7 all relays on"), std::string::npos) << second;
    EXPECT_NE(second.find("[#### #### #### ####]"), std::string::npos) << second;
    EXPECT_EQ(WaitForExit(&simulator), 0);
  }
}

// The killed simulator leaves its link to a terminal that is gone. With
// standard error full, the note on replacing it is lost; nothing waits for it.
TEST(SimulatorProcess, TakesItsLinkBackAfterKill9) {
  const LinkFolder folder;
  ASSERT_FALSE(folder.dir.empty());
  for (const Output errors : {Output::kPipe, Output::kFullSocket}) {
    SCOPED_TRACE(errors == Output::kPipe ? "stderr a pipe" : "stderr a full socket");
    Simulator killed = StartSimulator({"--link", folder.link});
    const KillOnExit killedGuard = {&killed};
    const std::string killedPath = ReadLine(&killed);
    const std::string entry = LinkTarget(folder.link);  // /proc/PID/fd/D/terminal-T
    const std::string ownFolder = LinkTarget(entry.substr(0, entry.rfind('/')));
    ASSERT_EQ(kill(killed.pid, SIGKILL), 0);
    EXPECT_EQ(WaitForExit(&killed), 128 + SIGKILL);
    // Its number goes to the next terminal, a user's shell say, which a
    // sender must not reach through the link.
    const std::vector<int> next = OpenTerminalsUntil(killedPath);
    EXPECT_LT(open(folder.link.c_str(), O_RDWR | O_NOCTTY), 0);

    Simulator simulator = StartSimulator({"--link", folder.link}, Output::kPipe, errors);
    const KillOnExit guard = {&simulator};
    const std::string slavePath = ReadLine(&simulator);
    for (const int fd : next) close(fd);
    ASSERT_EQ(slavePath.rfind("/dev/pts/", 0), 0u) << slavePath;
    EXPECT_EQ(Resolved(folder.link), slavePath);
    ExpectStopsAndRemovesItsLink(&simulator, folder.link);
    EXPECT_EQ(simulator.errors.find("replacing " + folder.link) != std::string::npos,
              errors == Output::kPipe);
    unlink((ownFolder + entry.substr(entry.rfind('/'))).c_str());  // what the kill -9 left
    EXPECT_EQ(rmdir(ownFolder.c_str()), 0) << ownFolder;
  }
}

// Anything but a link to a terminal that is gone is someone else's, such as
// a link to a drive that is not mounted yet, or to a live board.
TEST(SimulatorProcess, LeavesAnythingButALinkToAGoneTerminalAlone) {
  const LinkFolder folder;
  ASSERT_FALSE(folder.dir.empty());
  Simulator board = StartSimulator({});
  const KillOnExit boardGuard = {&board};
  const std::string live = ReadLine(&board);
  const char* const linkTargets[] = {"/mnt/not-mounted-yet/port", "/dev/null", live.c_str(),
                                     nullptr};
  for (const char* linkTo : linkTargets) {
    SCOPED_TRACE(linkTo == nullptr ? "a regular file" : linkTo);
    ASSERT_TRUE(linkTo != nullptr ? symlink(linkTo, folder.link.c_str()) == 0
                                  : std::ofstream(folder.link).good());
    Simulator simulator = StartSimulator({"--link", folder.link});
    EXPECT_EQ(WaitForExit(&simulator), 1);
    const std::string why =
        linkTo == nullptr ? "File exists" : "it leads to " + std::string(linkTo);
    EXPECT_NE(simulator.errors.find(folder.link + ": " + why), std::string::npos)
        << simulator.errors;
    struct stat info;
    ASSERT_EQ(lstat(folder.link.c_str(), &info), 0);
    if (linkTo != nullptr) {
      EXPECT_EQ(LinkTarget(folder.link), linkTo);
    } else {
      EXPECT_TRUE(S_ISREG(info.st_mode));
    }
    unlink(folder.link.c_str());
  }
}

TEST(SimulatorProcess, SaysWhenItCannotWriteItsOutput) {
  struct OutputCase {
    std::vector<std::string> arguments;
    Output output;
    const char* errors;
    Output errorsTo = Output::kPipe;
  };
  const char* const badDescriptor =
      "relay-board-sim: cannot write standard output: Bad file descriptor\n";
  const OutputCase cases[] = {
      {{}, Output::kClosed, badDescriptor},
      {{},
       Output::kDevFull,
       "relay-board-sim: cannot write standard output: No space left on device\n"},
      {{"--help"}, Output::kClosed, badDescriptor},
      {{"--json"}, Output::kClosed, "", Output::kFullPipe},  // the message must not hold it
  };
  for (const OutputCase& testCase : cases) {
    SCOPED_TRACE(testCase.errors);
    Simulator simulator = StartSimulator(testCase.arguments, testCase.output, testCase.errorsTo);
    EXPECT_EQ(WaitForExit(&simulator), 1);
    simulator.errors.erase(0, simulator.errors.find_first_not_of('\0'));  // the test's filling
    EXPECT_EQ(simulator.errors, testCase.errors);
  }
}

// A reader that stops reading must hold neither the sender nor the
// simulator's signals: it reads on, keeps what it can, and counts the rest.
TEST(SimulatorProcess, StopsOnSignalWhileItsOutputIsNotRead) {
  for (const Output output : {Output::kPipe, Output::kSocket}) {
    SCOPED_TRACE(output == Output::kPipe ? "pipe" : "socket");
    int shared = -1;
    Simulator simulator = StartSimulator({}, output, Output::kPipe, &shared);
    const KillOnExit guard = {&simulator};
    const std::string slavePath = ReadLine(&simulator);
    ASSERT_EQ(slavePath.rfind("/dev/pts/", 0), 0u) << slavePath;
    EXPECT_EQ(fcntl(shared, F_GETFL) & O_NONBLOCK, 0) << "a shell sharing it would get EAGAIN";
    close(shared);
    const int port = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port, 0);
    // Far more than the terminal holds; every 64 bytes is a line of output,
    // far more than the reader's buffer and the simulator's queue.
    const std::vector<std::uint8_t> noise(4096, 0);
    const std::size_t total = 64 * noise.size();
    std::size_t sent = 0;
    struct pollfd writable = {port, POLLOUT, 0};
    while (sent < total && poll(&writable, 1, kLineTimeoutMs) == 1) {
      const ssize_t count = write(port, noise.data(), std::min(noise.size(), total - sent));
      if (count < 0 && errno != EAGAIN) break;
      if (count > 0) sent += static_cast<std::size_t>(count);
    }
    close(port);
    EXPECT_EQ(sent, total) << "the sender was held";
    ASSERT_EQ(kill(simulator.pid, SIGTERM), 0);
    EXPECT_EQ(WaitForExit(&simulator), 1);
    EXPECT_NE(simulator.errors.find("standard output was not being read"), std::string::npos)
        << simulator.errors;
  }
}

TEST(SimulatorOptions, WrongOptionsPrintUsageAndExit2) {
  const std::vector<std::vector<std::string>> wrongOptions = {
      {"--bogus"}, {"--frames", "0"}, {"--link"}, {"extra"}};
  for (const std::vector<std::string>& arguments : wrongOptions) {
    SCOPED_TRACE(arguments[0] + (arguments.size() > 1 ? " " + arguments[1] : ""));
    Simulator simulator = StartSimulator(arguments);
    EXPECT_EQ(ReadAll(simulator.out), "") << "no pty announced";
    EXPECT_NE(ReadAll(simulator.err).find("Usage: relay-board-sim"), std::string::npos);
    EXPECT_EQ(WaitForExit(&simulator), 2);
  }
}

}  // namespace
