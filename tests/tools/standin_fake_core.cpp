// A tiny core for testing brevad-standin without the real one.
//
// Usage: standin_fake_core RECORD STOP_STATUS EOF_STATUS [FLAG...] FD
// It first sends up "started seqpacket sockets=<n>" (or "started other ..."),
// where n counts its open socket descriptors, so a leaked parent end shows.
// Before that it writes its process ID into RECORD.pid.
// Then it appends every packet it receives, raw, to the file RECORD, echoes
// it back up prefixed with "echo:", exits with STOP_STATUS after a stop packet
// and with EOF_STATUS when the parent closes its end.
// FLAGs: "hang" reads nothing and waits forever after the started packet,
// "ignore-term" ignores SIGTERM, "signal-on-stop" dies of SIGUSR1 instead of
// exiting on a stop packet.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ipc/packets.h"

namespace {

int CountSockets() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent* entry = readdir(dir)) {
    char target[64];
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && std::strncmp(target, "socket:", 7) == 0) ++count;
  }
  closedir(dir);
  return count;
}

void SendText(int fd, const std::string& text) {
  if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) < 0) std::perror("fake core: send");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s RECORD STOP_STATUS EOF_STATUS [FLAG...] FD\n", argv[0]);
    return 64;
  }
  bool hang = false, signalOnStop = false;
  for (int i = 4; i < argc - 1; ++i) {
    std::string flag = argv[i];
    hang = hang || flag == "hang";
    signalOnStop = signalOnStop || flag == "signal-on-stop";
    if (flag == "ignore-term") signal(SIGTERM, SIG_IGN);
  }
  int fd = std::atoi(argv[argc - 1]);
  int record = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  if (record < 0) {
    std::perror("fake core: record file");
    return 65;
  }

  const std::string pid = std::to_string(getpid());
  int pidFile = open((std::string(argv[1]) + ".pid").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (pidFile < 0 || write(pidFile, pid.data(), pid.size()) != static_cast<ssize_t>(pid.size())) {
    std::perror("fake core: pid file");
    return 67;
  }
  close(pidFile);

  int type = 0;
  socklen_t typeLength = sizeof type;
  getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength);
  SendText(fd, std::string("started ") + (type == SOCK_SEQPACKET ? "seqpacket" : "other") +
                   " sockets=" + std::to_string(CountSockets()));
  if (hang)
    for (;;) pause();

  std::vector<uint8_t> buffer(kIpcMaxPacket);
  for (;;) {
    ssize_t length = recv(fd, buffer.data(), buffer.size(), 0);
    if (length <= 0) return std::atoi(argv[3]);
    if (write(record, buffer.data(), static_cast<size_t>(length)) != length) {
      std::perror("fake core: record write");
      return 66;
    }
    SendText(fd, "echo:" + std::string(buffer.begin(), buffer.begin() + length));
    IpcPacketHeader header{};
    std::memcpy(&header, buffer.data(), std::min<size_t>(sizeof header, length));
    if (header.type != kIpcTypeStop) continue;
    if (signalOnStop) raise(SIGUSR1);
    return std::atoi(argv[2]);
  }
}
