// One run of dvrcore-plugin-check: the real core, with the checked plugin, its
// peers and the driver plugin in a scratch core folder, started by the
// stand-in parent (brevad-standin, run as a program in interactive mode) on
// a pseudo-terminal, so that the core prints its log; the traffic, the stop,
// and everything the run left to read.
#ifndef DVRCORE_TOOLS_CHECK_RUN_H
#define DVRCORE_TOOLS_CHECK_RUN_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dvrcheck {

struct RunSetup {
  std::string standin;                // brevad-standin
  std::vector<std::string> emulator;  // words before the core (qemu-arm -L ...), or none
  std::string core;                   // the core executable
  std::string driver;                 // the driver plugin
  std::vector<std::string> plugins;   // the checked plugin first, then its peers
  std::string scratch;                // an empty folder of ours
  int seconds = 10;                   // of traffic
  int timeout = 30;                   // for the start and for the stop
  bool fuzz = false;
  uint64_t seed = 0;
  std::optional<std::string> onlyCase;  // --replay SEED:CASE: "e17" or "p3"
  // What the checked plugin asked for, as the inspector read it.
  uint32_t pluginId = 0;
  uint32_t masks[9] = {};
  bool writes = false;
  bool reader = false;
  std::string preload;  // a sanitizer's runtime, for LD_PRELOAD; empty: none
};

struct RunResult {
  std::vector<std::string> log;  // the pseudo-terminal's lines, colours taken out
  bool started = false;          // the core said it had started
  bool stopSent = false;         // the stop packet went to the core
  bool hungAtStart = false;      // not started within the timeout
  bool hungAtStop = false;       // not ended within the timeout after the stop
  std::optional<int> coreStatus;  // the core's exit status ...
  std::optional<int> coreSignal;  // ... or the signal that ended it
  std::string figures;            // the figures file as the core left it
  std::vector<double> resident;   // the core's resident bytes, sampled during the traffic
  bool emulated = false;          // the core ran under an emulator, whose caches are resident too
  std::vector<std::string> driverReport;  // the driver's lines
  std::vector<std::string> packetsSent;   // fuzz packet cases, in order handed to the stand-in
  size_t packetsWritten = 0;              // packets the stand-in wrote to the core, ident aside
  std::string sanitizerReports;           // what the sanitizer's runtime wrote
};

// Lays out the scratch folder and runs the core through its life. Never
// throws for what the plugin does; a failure to set up is returned in `error`.
RunResult RunCheck(const RunSetup& setup, std::string& error);

// The bytes of the packet case's payload, as hex for the stand-in.
std::string HexBytes(const unsigned char* bytes, size_t count);

}  // namespace dvrcheck

#endif  // DVRCORE_TOOLS_CHECK_RUN_H
