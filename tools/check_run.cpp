// One run of dvrcore-plugin-check; see check_run.h.
//
// DESIGN: the tool stays one thread. The stand-in runs in a process group of
// its own (the core is in it too), so that a plugin that signals its group
// reaches the stand-in and the core but never the tool, and the tool can end
// both with one kill. Its standard input is a pipe the tool writes the
// stand-in's interactive steps into (never blocking: what the stand-in has
// not read yet waits in `pending`), its standard output and error a
// pseudo-terminal whose master the tool drains all the time, so that the
// core never blocks on its log. Every wait is bounded by the timeout.
#include "tools/check_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "events/names.h"
#include "sys/proc.h"
#include "tools/check_cases.h"
#include "tools/top_figures.h"

namespace dvrcheck {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kStartedLine[] = "successfully started core version ";
constexpr char kDriverFile[] = "Nvrxpr-check-driver.so";  // "Nvrxpr" loads first
constexpr char kCoreEnded[] = "[brevad] core exited with status ";
constexpr char kCoreKilled[] = "[brevad] core killed by signal ";

std::string Path(const RunSetup& setup, const char* name) { return setup.scratch + "/" + name; }

// A plugin and the files beside it named like it (foo.conf, foo.xml for
// foo.so): a plugin may read its settings beside its own file.
void CopyWithCompanions(const fs::path& plugin, const fs::path& folder, std::error_code& failed) {
  fs::copy_file(plugin, folder / plugin.filename(), failed);
  const std::string stem = plugin.stem().string() + ".";
  for (const auto& entry : fs::directory_iterator(plugin.parent_path().empty() ? "." : plugin.parent_path(), failed)) {
    const fs::path name = entry.path().filename();
    if (failed || name.string().compare(0, stem.size(), stem) != 0 || name.extension() == ".so" ||
        !entry.is_regular_file()) {
      continue;
    }
    fs::copy_file(entry.path(), folder / name, failed);
  }
}

// The scratch core folder: bin/ with a copy of the core (it finds its plugins
// beside its own canonical path), its plugins/ and, when the core has one, a
// link to its lib/; work/ as the working directory.
bool LayOut(const RunSetup& setup, std::string& error) {
  std::error_code failed;
  const fs::path bin = fs::path(setup.scratch) / "bin";
  fs::create_directories(bin / "plugins", failed);
  if (!failed) fs::create_directories(fs::path(setup.scratch) / "work", failed);
  if (!failed) fs::copy_file(setup.core, bin / "dvrcore", failed);
  for (const std::string& plugin : setup.plugins) {
    if (!failed) CopyWithCompanions(plugin, bin / "plugins", failed);
  }
  if (!failed) fs::copy_file(setup.driver, bin / "plugins" / kDriverFile, failed);
  const fs::path lib = fs::path(setup.core).parent_path() / "lib";
  if (!failed && fs::is_directory(lib)) fs::create_directory_symlink(fs::absolute(lib), bin / "lib", failed);
  if (failed) error = "cannot lay out " + setup.scratch + ": " + failed.message();
  return !failed;
}

void WriteDriverConfig(const RunSetup& setup) {
  std::ofstream config(Path(setup, "driver.conf"));
  config << "masks";
  char word[16];
  for (uint32_t mask : setup.masks) {
    std::snprintf(word, sizeof word, " %08X", mask);
    config << word;
  }
  long long onlyEvent = -1;
  if (setup.onlyCase && (*setup.onlyCase)[0] == 'e') onlyEvent = std::stoll(setup.onlyCase->substr(1));
  config << "\nwrites " << setup.writes << "\nreader " << setup.reader << "\nfuzz "
         << (setup.fuzz || setup.onlyCase ? 1 : 0) << "\nseed " << setup.seed << "\ncase "
         << (setup.onlyCase && onlyEvent < 0 ? -2 : onlyEvent) << "\nreport "
         << Path(setup, "driver.report") << "\n";
}

struct Child {
  pid_t pid = -1;
  int input = -1;   // the stand-in's stdin
  int master = -1;  // the pseudo-terminal
};

void ExecStandin(const RunSetup& setup, int input, int slave) {
  setpgid(0, 0);
  dup2(input, STDIN_FILENO);
  dup2(slave, STDOUT_FILENO);
  dup2(slave, STDERR_FILENO);
  close(slave);  // the core gets the terminal as its standard streams alone
  if (chdir(Path(setup, "work").c_str()) != 0) _exit(127);
  setenv("DVRCORE_CHECK_DRIVER", Path(setup, "driver.conf").c_str(), 1);
  setenv("DVRCORE_METRICS_FILE", Path(setup, "figures.prom").c_str(), 1);
  setenv("DVRCORE_METRICS_INTERVAL", "1", 1);
  if (!setup.preload.empty()) {
    setenv("LD_PRELOAD", setup.preload.c_str(), 1);
    const std::string options = "log_path=" + Path(setup, "sanitizer") + ":detect_leaks=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
  }
  std::vector<std::string> words = {setup.standin, "--timeout", std::to_string(setup.timeout),
                                    "--interactive", "--"};
  words.insert(words.end(), setup.emulator.begin(), setup.emulator.end());
  words.push_back(Path(setup, "bin") + "/dvrcore");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

bool StartStandin(const RunSetup& setup, Child& child, std::string& error) {
  int pipeFds[2];
  int slave = -1;
  if (pipe2(pipeFds, O_CLOEXEC) != 0 || openpty(&child.master, &slave, nullptr, nullptr, nullptr) != 0) {
    error = std::string("cannot make the stand-in's terminal: ") + std::strerror(errno);
    return false;
  }
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  fcntl(child.master, F_SETFD, FD_CLOEXEC);
  child.pid = fork();
  if (child.pid == 0) ExecStandin(setup, pipeFds[0], slave);
  close(pipeFds[0]);
  close(slave);
  child.input = pipeFds[1];
  fcntl(child.input, F_SETFL, O_NONBLOCK);
  if (child.pid < 0) error = std::string("cannot start the stand-in: ") + std::strerror(errno);
  return child.pid > 0;
}

// Takes the colour sequences (ESC [ ... m) and carriage returns out of a line.
std::string Plain(const std::string& line) {
  std::string plain;
  for (size_t i = 0; i < line.size(); i++) {
    if (line[i] == '\033' && i + 1 < line.size() && line[i + 1] == '[') {
      size_t end = line.find('m', i);
      if (end != std::string::npos) {
        i = end;
        continue;
      }
    }
    if (line[i] != '\r') plain += line[i];
  }
  return plain;
}

class Session {
 public:
  Session(Child child, RunResult& result) : child_(child), result_(result) {}
  ~Session() {
    if (child_.input >= 0) close(child_.input);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Send(const std::string& step) {
    if (child_.input >= 0) pending_ += step + "\n";
  }
  void EndInput() { endInput_ = true; }
  // Runs the pumps until `until` or `done` says so; false when the stand-in has ended.
  template <typename Done>
  bool PumpUntil(Clock::time_point until, Done done);
  void Kill();
  bool Ended() const { return ended_; }

 private:
  void ReadTerminal();
  void WriteInput();
  void Reap(bool wait);
  void WatchCore();

  Child child_;
  RunResult& result_;
  std::string pending_;
  std::string partial_;
  bool endInput_ = false;
  bool ended_ = false;
  pid_t core_ = 0;  // the stand-in's child, once seen
};

// The stand-in reads its steps until their end even when the core has gone:
// so the tool watches the core (the stand-in's child) and ends the steps when
// it has ended, whereupon the stand-in reports its status and exits.
void Session::WatchCore() {
  std::string text;
  if (core_ == 0) {
    const std::string task = std::to_string(child_.pid);
    if (ReadSmallFile("/proc/" + task + "/task/" + task + "/children", text) == 0) {
      core_ = static_cast<pid_t>(std::atol(text.c_str()));
    }
    return;
  }
  const bool read = ReadSmallFile("/proc/" + std::to_string(core_) + "/stat", text) == 0;
  const size_t state = text.rfind(") ");
  if (read && state != std::string::npos && state + 2 < text.size() && text[state + 2] != 'Z') return;
  pending_.clear();
  endInput_ = true;
}

void Session::ReadTerminal() {
  char buffer[4096];
  const ssize_t n = read(child_.master, buffer, sizeof buffer);
  if (n <= 0) return;
  partial_.append(buffer, static_cast<size_t>(n));
  for (size_t end; (end = partial_.find('\n')) != std::string::npos;) {
    const std::string line = Plain(partial_.substr(0, end));
    partial_.erase(0, end + 1);
    if (line.find(kStartedLine) != std::string::npos) result_.started = true;
    if (line.compare(0, sizeof kCoreEnded - 1, kCoreEnded) == 0) {
      result_.coreStatus = std::atoi(line.c_str() + sizeof kCoreEnded - 1);
    } else if (line.compare(0, sizeof kCoreKilled - 1, kCoreKilled) == 0) {
      result_.coreSignal = std::atoi(line.c_str() + sizeof kCoreKilled - 1);
    }
    // The stand-in's note of every packet it sent says nothing of the plugin,
    // but counts the packets that reached the core.
    if (line.compare(0, 14, "[brevad] sent ") != 0) {
      result_.log.push_back(line);
    } else if (line.compare(0, 21, "[brevad] sent type 7 ") != 0) {
      result_.packetsWritten++;
    }
  }
}

void Session::WriteInput() {
  if (child_.input < 0) return;
  if (!pending_.empty()) {
    const ssize_t n = write(child_.input, pending_.data(), pending_.size());
    if (n > 0) pending_.erase(0, static_cast<size_t>(n));
    if (n < 0 && errno != EAGAIN) pending_.clear();
  }
  if (pending_.empty() && endInput_) {
    close(child_.input);
    child_.input = -1;
  }
}

void Session::Reap(bool wait) {
  int status;
  if (!ended_ && waitpid(child_.pid, &status, wait ? 0 : WNOHANG) == child_.pid) ended_ = true;
}

template <typename Done>
bool Session::PumpUntil(Clock::time_point until, Done done) {
  while (!ended_ && !done() && Clock::now() < until) {
    pollfd fds[2] = {{child_.master, POLLIN, 0},
                     {child_.input, static_cast<short>(pending_.empty() ? 0 : POLLOUT), 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    poll(fds, child_.input >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left.count(), 100)));
    if (fds[0].revents & POLLIN) ReadTerminal();
    WatchCore();
    WriteInput();
    Reap(false);
  }
  // What the stand-in and the core wrote before they ended.
  for (pollfd ready{child_.master, POLLIN, 0}; ended_;) {
    if (poll(&ready, 1, 0) <= 0 || !(ready.revents & POLLIN)) break;
    ReadTerminal();
  }
  return !ended_;
}

// SIGTERM to the group (the stand-in passes it on to the core), then SIGKILL.
void Session::Kill() {
  if (ended_) return;
  kill(-child_.pid, SIGTERM);
  PumpUntil(Clock::now() + std::chrono::seconds(3), [] { return false; });
  if (!ended_) kill(-child_.pid, SIGKILL);
  Reap(true);
  kill(-child_.pid, SIGKILL);  // the core, should the stand-in have gone first
}

}  // namespace

std::string HexBytes(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(count * 2);
  for (size_t i = 0; i < count; i++) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

namespace {

// The packet case `number` as an interactive step of the stand-in.
std::string PacketStep(const RunSetup& setup, uint64_t number) {
  const PacketCase c = MakePacketCase(setup.seed, number);
  std::vector<unsigned char> payload(c.length);
  FillCaseData(c.fill, payload.data(), c.length);
  const uint32_t target = (((setup.pluginId >> 16) & 0xFFFu) << 20) | c.low;
  return "send-hex " + std::to_string(target) + " " + std::to_string(c.type) + " " +
         HexBytes(payload.data(), payload.size());
}

void SampleResident(const RunSetup& setup, RunResult& result) {
  std::string text;
  if (ReadSmallFile(Path(setup, "figures.prom"), text, 1 << 20) != 0) return;
  const dvrtop::CoreFigures figures = dvrtop::ReadFigures(text);
  auto it = figures.coreWide.find(FamilyName(FigureFamily::kResidentBytes));
  if (it != figures.coreWide.end()) result.resident.push_back(it->second);
}

// The traffic phase: packets to the plugin's route (or fuzz cases), samples
// of the resident size once a second.
void Traffic(const RunSetup& setup, Session& session, RunResult& result) {
  const auto end = Clock::now() + std::chrono::seconds(setup.seconds);
  auto nextSample = Clock::now();
  const bool routed = setup.pluginId != 0;
  const bool packetsOnly = setup.onlyCase && (*setup.onlyCase)[0] == 'p';
  if (packetsOnly) {
    const uint64_t number = std::stoull(setup.onlyCase->substr(1));
    session.Send(PacketStep(setup, number));
    result.packetsSent.push_back(CaseName('p', number));
  }
  const auto step = std::chrono::milliseconds(setup.fuzz ? 10 : 100);
  for (uint64_t round = 0;; round++) {
    if (!session.PumpUntil(Clock::now() + step, [] { return false; })) return;
    if (Clock::now() >= end) {
      SampleResident(setup, result);  // the last before the stop
      return;
    }
    if (Clock::now() >= nextSample) {
      SampleResident(setup, result);
      nextSample += std::chrono::seconds(1);
    }
    if (!routed || setup.onlyCase) continue;
    if (setup.fuzz) {
      session.Send(PacketStep(setup, round));
      result.packetsSent.push_back(CaseName('p', round));
    } else {
      const uint32_t target = ((setup.pluginId >> 16) & 0xFFFu) << 20;
      session.Send("send " + std::to_string(target) + " 1 dvrcore-plugin-check " +
                   std::to_string(round));
    }
  }
}

void Collect(const RunSetup& setup, RunResult& result) {
  std::ofstream log(Path(setup, "core.log"));
  for (const std::string& line : result.log) log << line << "\n";
  ReadSmallFile(Path(setup, "figures.prom"), result.figures, 16 << 20);
  std::ifstream report(Path(setup, "driver.report"));
  for (std::string line; std::getline(report, line);) result.driverReport.push_back(line);
  std::error_code failed;
  for (const auto& entry : fs::directory_iterator(setup.scratch, failed)) {
    if (entry.path().filename().string().compare(0, 10, "sanitizer.") != 0) continue;
    std::string text;
    ReadSmallFile(entry.path().string(), text, 1 << 20);
    result.sanitizerReports += text;
  }
}

}  // namespace

RunResult RunCheck(const RunSetup& setup, std::string& error) {
  RunResult result;
  result.emulated = !setup.emulator.empty();
  if (!LayOut(setup, error)) return result;
  WriteDriverConfig(setup);
  Child child;
  if (!StartStandin(setup, child, error)) return result;
  Session session(child, result);
  const auto timeout = std::chrono::seconds(setup.timeout);
  session.Send("ident libbrevad.so 1.0");
  session.PumpUntil(Clock::now() + timeout, [&] { return result.started; });
  if (!result.started && !session.Ended()) {
    result.hungAtStart = true;
    session.Kill();
  }
  if (result.started) Traffic(setup, session, result);
  if (!session.Ended()) {
    session.Send("stop");
    session.EndInput();
    result.stopSent = true;
    // The stand-in bounds the core's stop itself; a little more than that.
    if (session.PumpUntil(Clock::now() + timeout + std::chrono::seconds(10), [] { return false; })) {
      result.hungAtStop = true;
      session.Kill();
    }
  }
  Collect(setup, result);
  close(child.master);
  return result;
}

}  // namespace dvrcheck
