// dvrcore-plugin-check: takes a plugin through the life a device gives it, in
// the real core, and reports which of the plugin guide's rules it broke.
//
//   dvrcore-plugin-check [options] PLUGIN.so [PEER.so ...]
//
// The parts: check_run.h (the scratch core folder, the stand-in parent and
// the traffic), check_driver.cpp and check_traffic.cpp (the driver plugin
// loaded beside the checked one), check_cases.h (the fuzz cases),
// check_verdict.h (the rules, read from the core's log and figures),
// check_report.h (text and JSON). What the plugin file itself says comes from
// dvrcore-inspect, run as a program.
//
// Exit status: 0 when no rule was broken, 1 when one was, 2 for a usage error
// or when the check could not run at all.
#include <elf.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "dvrcore_version.h"
#include "tools/check_report.h"
#include "tools/check_run.h"
#include "tools/check_verdict.h"

namespace {

namespace fs = std::filesystem;
using dvrcheck::ReportContext;
using dvrcheck::RunSetup;

constexpr int kUsageStatus = 2;
constexpr char kDriverName[] = "dvrcore-check-driver.so";

const char kUsage[] =
    "usage: dvrcore-plugin-check [options] PLUGIN.so [PEER.so ...]\n"
    "  --seconds N        traffic for N seconds (default 10)\n"
    "  --fuzz N           random events and packets for N seconds instead\n"
    "  --seed N           the fuzz seed (default: a random one, printed)\n"
    "  --replay SEED[:CASE]  repeat a fuzz run, or only its case CASE (e17, p3)\n"
    "  --json             one JSON document instead of text\n"
    "  --timeout N        bound of the start and of the stop (default 30)\n"
    "  --core PATH        the core executable (default: the installed one)\n"
    "  --emulator WORDS   put before the core, as \"qemu-arm -L /\" (default: qemu-arm\n"
    "                     for an ARM core on another machine)\n"
    "  --driver PATH      the driver plugin; --standin PATH, --inspect PATH the programs\n"
    "  --keep             keep the scratch folder and print its name\n"
    "  --version, --help\n";

struct Options {
  RunSetup setup;
  bool json = false;
  bool keep = false;
  bool replay = false;
  std::optional<uint64_t> seed;
  std::string inspector;
  std::string emulatorWords;
  bool emulatorGiven = false;
};

[[noreturn]] void UsageError(const std::string& why) {
  std::fprintf(stderr, "dvrcore-plugin-check: %s\n%s", why.c_str(), kUsage);
  std::exit(kUsageStatus);
}

int Seconds(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 1 || value > 86400) {
    UsageError(std::string("not a number of seconds from 1 to 86400: ") + text);
  }
  return static_cast<int>(value);
}

void ParseReplay(Options& options, const std::string& text) {
  const size_t colon = text.find(':');
  char* end = nullptr;
  const std::string seed = text.substr(0, colon);
  options.seed = std::strtoull(seed.c_str(), &end, 10);
  if (seed.empty() || *end != '\0') UsageError("--replay takes SEED or SEED:CASE");
  options.replay = true;
  // The whole run again: the same cases from the first on.
  options.setup.fuzz = colon == std::string::npos;
  if (colon == std::string::npos) return;
  const std::string name = text.substr(colon + 1);
  if (name.size() < 2 || (name[0] != 'e' && name[0] != 'p') ||
      name.find_first_not_of("0123456789", 1) != std::string::npos) {
    UsageError("a case is e<number> or p<number>: " + name);
  }
  options.setup.onlyCase = name;
}

bool TakeValueOption(Options& options, const std::string& name, const char* value) {
  RunSetup& setup = options.setup;
  if (name == "--seconds") setup.seconds = Seconds(value);
  else if (name == "--fuzz") setup.seconds = Seconds(value), setup.fuzz = true;
  else if (name == "--timeout") setup.timeout = Seconds(value);
  else if (name == "--seed") options.seed = std::strtoull(value, nullptr, 10);
  else if (name == "--replay") ParseReplay(options, value);
  else if (name == "--core") setup.core = value;
  else if (name == "--emulator") options.emulatorWords = value, options.emulatorGiven = true;
  else if (name == "--driver") setup.driver = value;
  else if (name == "--standin") setup.standin = value;
  else if (name == "--inspect") options.inspector = value;
  else return false;
  return true;
}

Options ParseCommandLine(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--version") {
      std::printf("dvrcore-plugin-check version %s\n", DVRCORE_VERSION);
      std::exit(0);
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--keep") {
      options.keep = true;
    } else if (arg.compare(0, 2, "--") == 0) {
      if (i + 1 >= argc) UsageError(arg + " needs a value, or is unknown");
      if (!TakeValueOption(options, arg, argv[i + 1])) UsageError("unknown option " + arg);
      i++;
    } else {
      options.setup.plugins.push_back(arg);
    }
  }
  if (options.setup.plugins.empty()) UsageError("no plugin given");
  for (const std::string& plugin : options.setup.plugins) {
    if (!fs::is_regular_file(plugin)) UsageError("not a plugin file: " + plugin);
  }
  return options;
}

std::string OwnFolder() {
  std::error_code failed;
  return fs::canonical("/proc/self/exe", failed).parent_path().string();
}

std::string FirstExisting(const std::vector<fs::path>& candidates) {
  for (const fs::path& candidate : candidates) {
    std::error_code failed;
    if (fs::is_regular_file(candidate, failed)) return fs::canonical(candidate, failed).string();
  }
  return "";
}

// The ELF machine of a file, 0 when it is none.
unsigned ElfMachine(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  unsigned char header[20] = {};
  file.read(reinterpret_cast<char*>(header), sizeof header);
  if (std::memcmp(header, ELFMAG, SELFMAG) != 0) return 0;
  return header[18] | (header[19] << 8);
}

// `name` found in $PATH (as the shell would run it); itself when not found
// or when it holds a slash.
std::string InPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (name.find('/') != std::string::npos || path == nullptr) return name;
  std::istringstream folders(path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

bool FindPrograms(Options& options, std::string& error) {
  RunSetup& setup = options.setup;
  const fs::path own = OwnFolder();
  if (setup.core.empty()) setup.core = FirstExisting({own / "../lib/dvrcore/dvrcore", own / "../dvrcore"});
  if (setup.core.empty() || ElfMachine(setup.core) == 0) {
    error = "no core executable" + (setup.core.empty() ? std::string() : " at " + setup.core) +
            "; give --core PATH";
    return false;
  }
  const unsigned machine = ElfMachine(setup.core);
  if (options.emulatorGiven) {
    setup.emulator = Words(options.emulatorWords);
  } else if (machine != ElfMachine("/proc/self/exe") && machine == EM_ARM) {
    const char* prefix = std::getenv("QEMU_LD_PREFIX");
    setup.emulator = {"qemu-arm", "-L", prefix != nullptr && *prefix != '\0' ? prefix : "/"};
  }
  // The stand-in starts its command with execv, which searches no PATH.
  if (!setup.emulator.empty()) setup.emulator[0] = InPath(setup.emulator[0]);
  const fs::path coreFolder = fs::path(setup.core).parent_path();
  if (setup.standin.empty()) setup.standin = FirstExisting({own / "brevad-standin"});
  if (setup.driver.empty()) {
    setup.driver = FirstExisting({coreFolder / "../dvrcore-tools" / kDriverName,
                                  coreFolder / "tools" / kDriverName,
                                  own / "../lib/dvrcore-tools" / kDriverName, own / kDriverName});
  }
  if (setup.standin.empty() || setup.driver.empty()) {
    error = setup.standin.empty() ? "no brevad-standin beside the tool; give --standin PATH"
                                  : "no driver plugin found; give --driver PATH";
    return false;
  }
  if (ElfMachine(setup.driver) != machine) {
    error = "the driver plugin " + setup.driver + " is for another machine than the core; give --driver PATH";
    return false;
  }
  if (options.inspector.empty()) {
    options.inspector = setup.emulator.empty()
                            ? FirstExisting({own / "dvrcore-inspect"})
                            : FirstExisting({coreFolder / "../../bin/dvrcore-inspect",
                                             coreFolder / "tools/dvrcore-inspect"});
  }
  return true;
}

// Runs a program and returns its standard output; the program runs in a
// process group of its own, like the core.
std::string Capture(std::vector<std::string> words, const std::string& preload) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "";
  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    if (!preload.empty()) setenv("LD_PRELOAD", preload.c_str(), 1);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status;
  if (child > 0) waitpid(child, &status, 0);
  return out;
}

// What the inspector reads from the files; the checked plugin's masks and
// flags go to the driver. When the inspector cannot tell (no inspector for
// the core's machine, a file it cannot load), the driver raises every class.
void Inspect(Options& options, ReportContext& context) {
  RunSetup& setup = options.setup;
  for (uint32_t& mask : setup.masks) mask = 0xFFFFFFFFu;
  setup.writes = setup.reader = true;
  if (options.inspector.empty()) return;
  std::vector<std::string> words = setup.emulator;
  words.insert(words.end(), {options.inspector, "--timeout", std::to_string(setup.timeout)});
  words.insert(words.end(), setup.plugins.begin(), setup.plugins.end());
  std::vector<std::string> jsonWords = words;
  jsonWords.insert(jsonWords.begin() + static_cast<long>(setup.emulator.size()) + 1, "--json");
  const std::string json = Capture(jsonWords, setup.preload);
  try {
    std::istringstream stream(json);
    boost::property_tree::ptree document;
    boost::property_tree::read_json(stream, document);
    context.inspectionJson = json;
    const auto& file = document.get_child("files").front().second;
    setup.pluginId = file.get<uint32_t>("id");
    size_t i = 0;
    for (const auto& mask : file.get_child("masks")) {
      if (i < 9) setup.masks[i++] = mask.second.get<uint32_t>("value");
    }
    setup.writes = file.get<int>("acceptsWrites") != 0;
    setup.reader = file.get<int>("wantsReader") != 0;
    // The text too, for people; only for files that load, which is quick.
    if (!options.json) context.inspectionText = Capture(words, setup.preload);
  } catch (const std::exception&) {
    // Not loaded by the inspector: the core's own run says why.
  }
  while (!context.inspectionJson.empty() && context.inspectionJson.back() == '\n') context.inspectionJson.pop_back();
}

// The runtime of AddressSanitizer a plugin was linked with ("libasan.so.8"),
// found as its name in the file (the dynamic section's strings); empty when none.
std::string SanitizerRuntime(const std::vector<std::string>& plugins) {
  for (const std::string& plugin : plugins) {
    std::ifstream file(plugin, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t at = bytes.find("libasan.so.");
    if (at == std::string::npos) continue;
    size_t end = at + 11;
    while (end < bytes.size() && (std::isdigit(static_cast<unsigned char>(bytes[end])) != 0)) end++;
    return bytes.substr(at, end - at);
  }
  return "";
}

int RunAndReport(Options& options, ReportContext& context) {
  RunSetup& setup = options.setup;
  setup.seed = options.seed ? *options.seed : std::random_device()() * 65536ull + std::random_device()() % 65536;
  const char* tmp = std::getenv("TMPDIR");
  std::string scratch = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dvrcore-plugin-check.XXXXXX";
  if (mkdtemp(scratch.data()) == nullptr) {
    std::fprintf(stderr, "dvrcore-plugin-check: cannot make a scratch folder: %s\n", std::strerror(errno));
    return kUsageStatus;
  }
  setup.scratch = scratch;
  std::string error;
  const dvrcheck::RunResult run = dvrcheck::RunCheck(setup, error);
  if (!error.empty()) {
    std::fprintf(stderr, "dvrcore-plugin-check: %s\n", error.c_str());
    return kUsageStatus;
  }
  std::vector<std::string> files;
  for (const std::string& plugin : setup.plugins) files.push_back(fs::path(plugin).filename());
  const dvrcheck::Verdict verdict = dvrcheck::Judge(run, files, setup.fuzz || options.replay);
  context.plugins = setup.plugins;
  context.core = setup.core;
  context.seconds = setup.seconds;
  context.fuzz = setup.fuzz;
  context.replay = options.replay;
  context.seed = setup.seed;
  context.sanitizerRuntime = setup.preload;
  const std::string report = options.json ? dvrcheck::JsonReport(context, run, verdict)
                                          : dvrcheck::TextReport(context, run, verdict);
  std::fputs(report.c_str(), stdout);
  std::error_code failed;
  if (options.keep) std::fprintf(stderr, "dvrcore-plugin-check: kept %s\n", scratch.c_str());
  else fs::remove_all(scratch, failed);
  return verdict.findings.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseCommandLine(argc, argv);
  std::string error;
  if (!FindPrograms(options, error)) {
    std::fprintf(stderr, "dvrcore-plugin-check: %s\n", error.c_str());
    return kUsageStatus;
  }
  // A sanitizer's runtime must come first in the process: preloaded into
  // the core and the inspector (not under an emulator, which it would enter).
  if (options.setup.emulator.empty()) options.setup.preload = SanitizerRuntime(options.setup.plugins);
  ReportContext context;
  Inspect(options, context);
  return RunAndReport(options, context);
}
