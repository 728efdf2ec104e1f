// brevad-standin run as a real process against standin_fake_core, which
// records what arrives on its end of the socket pair and echoes it back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ipc/packets.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kStopStatus = 3;
constexpr int kEofStatus = 9;
// Bound of each wait for something that should come soon; generous, for
// sanitizer builds on a busy machine.
constexpr int kBoundMs = 30000;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Packet(uint32_t target, uint32_t type, const std::string& payload) {
  std::vector<uint8_t> bytes = MakeIpcPacket(target, type, payload.data(), payload.size());
  return std::string(bytes.begin(), bytes.end());
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

const std::string kStarted = "started seqpacket sockets=1";

std::string PacketLine(int number, const std::string& text) {
  return "[brevad] packet " + std::to_string(number) + " length " + std::to_string(text.size()) +
         " : " + text;
}

std::string EchoLine(int number, const std::string& packet) {
  std::string echo = "echo:" + packet;
  return "[brevad] packet " + std::to_string(number) + " length " + std::to_string(echo.size()) +
         " : " + Hex(echo);
}

// Through syscall: glibc 2.36 declares pidfd_open without C linkage for C++.
int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

std::vector<std::string> PacketLines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("[brevad] packet ", 0) == 0) lines.push_back(line);
  return lines;
}

class Standin : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "standin_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path RecordFile() const { return dir_ / "record"; }

  // "--" and the fake core's command line, flags before the descriptor.
  std::vector<std::string> Core(std::vector<std::string> flags = {}) const {
    std::vector<std::string> command = {"--", FAKE_CORE_PATH, RecordFile().string(),
                                        std::to_string(kStopStatus), std::to_string(kEofStatus)};
    command.insert(command.end(), flags.begin(), flags.end());
    return command;
  }

  // Runs the stand-in with `args`, `input` on stdin, and collects its output.
  // With a `signal`, sends it to the stand-in once the core's first packet
  // has been printed, and checks that the core has ended with it. Standard
  // descriptors in `closed` are closed in the stand-in instead.
  Result Run(std::vector<std::string> args, const std::string& input = "", int signal = 0,
             const std::vector<int>& closed = {}) const {
    const fs::path in = dir_ / "stdin", err = dir_ / "stderr";
    std::ofstream(in, std::ios::binary) << input;
    args.insert(args.begin(), STANDIN_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    // Standard output through a pipe, to see the core's first packet come.
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (int fd : closed) posix_spawn_file_actions_addclose(&actions, fd);
    pid_t pid = -1;
    Result result;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    EXPECT_EQ(spawned, 0);
    if (spawned != 0) {
      close(out[0]);
      return result;
    }
    // Until every writer, the core included, has closed it; bounded, for a
    // stand-in or a core that runs on.
    int core = -1;  // a pidfd, taken while the core surely runs
    for (char buffer[4096];;) {
      pollfd ready{out[0], POLLIN, 0};
      if (poll(&ready, 1, kBoundMs) == 0) {
        ADD_FAILURE() << "standard output still open; the stand-in is killed\n" << result.out;
        kill(pid, SIGKILL);
        break;
      }
      ssize_t count = read(out[0], buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      result.out.append(buffer, static_cast<size_t>(count));
      if (signal != 0 && core < 0 && result.out.find(PacketLine(1, kStarted)) != std::string::npos) {
        core = PidfdOpen(std::stoi(ReadFile(RecordFile().string() + ".pid")));
        kill(pid, signal);
      }
    }
    close(out[0]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    if (signal != SIGKILL) {
      EXPECT_TRUE(WIFEXITED(status)) << "the stand-in itself died";
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = ReadFile(err);
    if (signal != 0) {
      EXPECT_GE(core, 0) << "the core's first packet never came\n" << result.out;
      pollfd ended{core, POLLIN, 0};
      if (core >= 0 && poll(&ended, 1, kBoundMs) <= 0) {
        ADD_FAILURE() << "the core outlived the stand-in; killed";
        syscall(SYS_pidfd_send_signal, core, SIGKILL, nullptr, 0);
      }
      close(core);
    }
    return result;
  }

  static std::vector<std::string> Concat(std::vector<std::string> a,
                                         const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  fs::path dir_;
};

TEST_F(Standin, ScriptedPacketsArriveByteForByteAndEchoesArePrinted) {
  Result r = Run(Concat({"--ident", "libbreva.so", "4.1 beta", "--send", "0x00600000", "9",
                         "hello world", "--send-hex", "6291456", "0x10", "00ff7F", "--stop"},
                        Core()));
  const std::vector<std::string> sent = {
      Packet(0, kIpcTypeIdentification,
             std::string("libbreva.so\0"
                         "4.1 beta",
                         20)),
      Packet(0x00600000, 9, "hello world"),
      Packet(0x00600000, 0x10, std::string("\x00\xff\x7f", 3)),
      Packet(0, kIpcTypeStop, ""),
  };
  std::string all;
  std::vector<std::string> expectedLines = {PacketLine(1, kStarted)};
  for (const std::string& packet : sent) {
    all += packet;
    expectedLines.push_back(EchoLine(static_cast<int>(expectedLines.size()) + 1, packet));
  }

  EXPECT_EQ(r.status, kStopStatus) << r.err;
  EXPECT_EQ(ReadFile(RecordFile()), all);
  // "sockets=1" also shows the parent's end was not inherited by the core.
  EXPECT_EQ(PacketLines(r.out), expectedLines);
  EXPECT_NE(r.out.find("[brevad] sent type 7 length 36\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.rfind("[brevad]")), "[brevad] core exited with status 3\n");
}

TEST_F(Standin, WaitPacketsHoldsTheScriptUntilTheEchoArrives) {
  // Without the wait, --close would shut the link before the echo came up.
  Result r =
      Run(Concat({"--send", "1", "2", "ping", "--wait-packets", "2", "30", "--close"}, Core()));
  EXPECT_EQ(r.status, kEofStatus) << r.err;
  EXPECT_EQ(PacketLines(r.out),
            (std::vector<std::string>{PacketLine(1, kStarted), EchoLine(2, Packet(1, 2, "ping"))}));
  EXPECT_EQ(r.err, "");
}

TEST_F(Standin, WaitPacketsGivesUpAtItsLimitAndTheScriptGoesOn) {
  Result r = Run(Concat({"--wait-packets", "5", "1", "--stop"}, Core()));
  EXPECT_EQ(r.status, kStopStatus);
  EXPECT_NE(r.err.find("timed out waiting for 5 packets (1 so far)"), std::string::npos) << r.err;
}

TEST_F(Standin, InteractiveCommandsUntilQuitThenTheScriptResumes) {
  Result r = Run(Concat({"--interactive", "--stop"}, Core()),
                 "ident lib.so 2.0\n"
                 "send 0x600000 9 two  words \n"
                 "bogus line\n"
                 "send-hex 1 2 zz\n"
                 "stop now\n"
                 "\n"
                 "quit\n"
                 "send 1 2 after quit\n");
  EXPECT_EQ(r.status, kStopStatus) << r.err;
  EXPECT_EQ(ReadFile(RecordFile()), Packet(0, 7,
                                           std::string("lib.so\0"
                                                       "2.0",
                                                       10)) +
                                        Packet(0x600000, 9, "two  words ") + Packet(0, 8, ""));
  EXPECT_NE(r.err.find("unknown command 'bogus'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("HEX must be pairs of hex digits"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("stop takes 0 argument(s)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("empty line"), std::string::npos) << r.err;
}

TEST_F(Standin, SendingAfterCloseIsReportedNotFatal) {
  Result r = Run(Concat({"--close", "--stop"}, Core()));
  EXPECT_EQ(r.status, kEofStatus);
  EXPECT_NE(r.err.find("cannot send: the link is closed"), std::string::npos) << r.err;
}

TEST_F(Standin, ExitStatusFollowsHowTheCoreEnded) {
  EXPECT_EQ(Run(Concat({"--stop"}, Core({"signal-on-stop"}))).status, 128 + SIGUSR1);
  Result missing = Run({"--stop", "--", (dir_ / "no-such-core").string()});
  EXPECT_EQ(missing.status, 127);
  EXPECT_NE(missing.err.find("cannot start"), std::string::npos) << missing.err;
}

// How the core is ended, and what the stand-in says of it. A core that does
// not stop is ended at the stand-in's timeout: SIGTERM, then SIGKILL for one
// that ignores it. A core that reads nothing (stuck while loading, say) fills
// the socket: the send gives up at the timeout, the script ends, and the core
// is stopped as at the end of a timeout. SIGINT and SIGTERM reach the core
// through the stand-in, whatever it is waiting for, with SIGKILL after the
// grace time; a stand-in killed outright takes the core with it (Run checks
// that the core has ended every time a signal is sent).
struct EndingRow {
  const char* name;
  std::vector<std::string> script;
  std::vector<std::string> coreFlags;
  std::string input;  // standard input, for --interactive
  int signal;         // sent to the stand-in once the core runs; 0: none
  int status;         // the stand-in's exit status; -1: it died of the signal
  std::vector<std::string> inErr, notInErr;  // texts on standard error, or not
  std::vector<std::string> inOut, notInOut;  // texts on standard output, or not
};

class StandinEnding : public Standin, public ::testing::WithParamInterface<EndingRow> {};

TEST_P(StandinEnding, EndsTheCore) {
  const EndingRow& row = GetParam();
  Result r = Run(Concat(row.script, Core(row.coreFlags)), row.input, row.signal);
  EXPECT_EQ(r.status, row.status) << r.err;
  for (const std::string& text : row.inErr) {
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
  }
  for (const std::string& text : row.notInErr) {
    EXPECT_EQ(r.err.find(text), std::string::npos) << r.err;
  }
  for (const std::string& text : row.inOut) {
    EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
  }
  for (const std::string& text : row.notInOut) {
    EXPECT_EQ(r.out.find(text), std::string::npos) << r.out;
  }
}

// Twenty sends of 60000 bytes each: more than the socket holds.
std::string SendsThatFillTheSocket() {
  std::string input;
  for (int i = 0; i < 20; i++) input += "send 1 2 " + std::string(60000, 'x') + "\n";
  return input;
}

std::string EndingName(const ::testing::TestParamInfo<EndingRow>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Timeout, StandinEnding,
    ::testing::Values(
        EndingRow{"SendsSigtermToACoreThatDoesNotStop", {"--timeout", "1", "--stop"}, {"hang"}, "",
                  0, 124, {"sending SIGTERM"}, {"SIGKILL"}, {"core killed by signal 15"}, {}},
        EndingRow{"EscalatesToSigkill", {"--timeout", "1"}, {"hang", "ignore-term"}, "", 0, 124,
                  {"sending SIGKILL"}, {}, {"core killed by signal 9"}, {}},
        EndingRow{"SendsGiveUpWhenTheCoreReadsNothing",
                  {"--timeout", "1", "--interactive", "--stop"}, {"hang"},
                  SendsThatFillTheSocket(), 0, 124,
                  {"send timed out after 1 s: the core reads nothing, sending SIGTERM"}, {},
                  {"core killed by signal 15"}, {"sent type 8"}}),
    EndingName);

INSTANTIATE_TEST_SUITE_P(
    StopSignal, StandinEnding,
    ::testing::Values(
        EndingRow{"SigtermDuringASleep", {"--sleep", "600000"}, {"hang"}, "", SIGTERM,
                  128 + SIGTERM, {"got SIGTERM, passing it on to the core"}, {},
                  {"core killed by signal 15"}, {}},
        EndingRow{"SigintWhileWaitingForPackets", {"--wait-packets", "2", "600"}, {"hang"}, "",
                  SIGINT, 128 + SIGINT, {"got SIGINT, passing it on to the core"}, {},
                  {"core killed by signal 2"}, {}},
        EndingRow{"SigkillAfterTheGraceTime", {"--timeout", "600"}, {"hang", "ignore-term"}, "",
                  SIGTERM, 128 + SIGKILL, {"core ignored SIGTERM, sending SIGKILL"}, {},
                  {"core killed by signal 9"}, {}},
        EndingRow{"StandinKilledTakesTheCore", {"--sleep", "600000"}, {"hang"}, "", SIGKILL, -1,
                  {}, {}, {}, {}}),
    EndingName);

// Started with standard descriptors closed, the stand-in keeps its lines, its
// warnings and its reading out of the link: the core gets the script's packets.
TEST_F(Standin, ClosedStandardDescriptorsNeverBecomeTheLink) {
  const std::vector<std::string> script = {"--ident", "lib.so", "1", "--wait-packets", "5", "1",
                                           "--interactive", "--stop"};
  for (const std::vector<int>& closed : {std::vector<int>{0}, {1}, {2}, {1, 2}}) {
    SCOPED_TRACE(::testing::PrintToString(closed));
    fs::remove(RecordFile());
    EXPECT_EQ(Run(Concat(script, Core()), "", 0, closed).status, kStopStatus);
    EXPECT_EQ(ReadFile(RecordFile()),
              Packet(0, kIpcTypeIdentification, std::string("lib.so\0" "1", 8)) +
                  Packet(0, kIpcTypeStop, ""));
  }
}

TEST_F(Standin, MalformedCommandLinesGiveUsageAndStartNothing) {
  const std::vector<std::vector<std::string>> scripts = {
      {"--bogus"},
      {"--quit"},
      {"--ident", "only-file"},
      {"--send", "0xZZ", "1", "x"},
      {"--send", "0x100000000", "1", "x"},
      {"--send", "-1", "1", "x"},
      {"--send-hex", "1", "1", "abc"},
      {"--wait-packets", "two"},
      {"--wait-packets", "1", "soon"},
      {"--sleep", "1e3"},
      {"--timeout", "0"},
  };
  for (const auto& script : scripts) {
    Result r = Run(Concat(script, Core()));
    EXPECT_EQ(r.status, 2) << script[0];
    EXPECT_NE(r.err.find("usage: brevad-standin"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(RecordFile())) << script[0];
  }
  EXPECT_EQ(Run({"--stop"}).status, 2);
  EXPECT_EQ(Run({"--stop", "--"}).status, 2);
}

}  // namespace
