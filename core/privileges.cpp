// The privilege drop of Init: the core takes on the user of its parent
// process with that user's groups and keeps only the network and raw-I/O
// capabilities; Start later narrows them to the two network ones.
//
// DESIGN: runs on the main thread during Init, before any other thread
// exists, and must. Init has set SECBIT_NO_SETUID_FIXUP beforehand, so the
// kernel leaves the capability sets alone when setuid changes the user; that
// is what lets setgid and setgroups still succeed after setuid, and what lets
// the final capset keep capabilities that a non-root user would otherwise
// lose. The bit is per thread: a thread started earlier would lack it, lose
// its capabilities at setuid and make the C library's process-wide setgid
// abort the process. Nothing here undoes a partial switch: privileges only
// ever shrink.
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/dvrcore.h"
#include "core/privileges.h"

namespace {

constexpr int kMaxGroups = 256;
constexpr unsigned kFailureLevel = 100;
constexpr unsigned kNoticeLevel = 50;

}  // namespace

uint32_t ParentUidFromStatus(const std::string& text) {
  size_t lineStart = 0;
  while (lineStart < text.size()) {
    size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    const std::string line = text.substr(lineStart, lineEnd - lineStart);
    unsigned uid = 0;
    if (std::sscanf(line.c_str(), "Uid: %u", &uid) == 1) return uid;
    lineStart = lineEnd + 1;
  }
  return 0;
}

uint32_t ReadStatusUid(const std::string& path) {
  std::ifstream file(path);
  if (!file) return 0;
  std::ostringstream text;
  text << file.rdbuf();
  return ParentUidFromStatus(text.str());
}

int ApplyCapabilities(uint32_t mask) {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;  // the calling process
  // Version 3 takes two sets: capabilities 0-31, then 32-63.
  __user_cap_data_struct data[2] = {{mask, mask, 0}, {0, 0, 0}};
  // Raw system call: the C library offers no wrapper and libcap is not a
  // dependency of the core.
  if (syscall(SYS_capset, &header, data) != 0) return errno;
  return 0;
}

void SetCapabilities(uint32_t mask) {
  const int error = ApplyCapabilities(mask);
  if (error != 0) CORE_LOG(kNoticeLevel, "capset failed: %s", std::strerror(error));
}

bool dvrcore::DropPrivileges() {
  const uint32_t parentUid = ReadStatusUid("/proc/" + std::to_string(getppid()) + "/status");
  if (parentUid != getuid()) {
    // getpwuid reports "no such user" only by leaving errno alone.
    errno = 0;
    const struct passwd* user = getpwuid(parentUid);
    if (user == nullptr) {
      CORE_LOG(kFailureLevel, "getpwuid failed: %s", std::strerror(errno));
      return false;
    }
    // The entry lives in a static buffer of the C library; keep what is
    // needed before other calls can overwrite it.
    const uid_t uid = user->pw_uid;
    const gid_t gid = user->pw_gid;
    const std::string name = user->pw_name;
    if (setuid(uid) != 0 || setgid(gid) != 0) {
      CORE_LOG(kFailureLevel, "setuid/gid failed: %s", std::strerror(errno));
      return false;
    }
    gid_t groups[kMaxGroups];
    int count = kMaxGroups;
    count = getgrouplist(name.c_str(), gid, groups, &count);
    if (count < 0) {
      CORE_LOG(kFailureLevel, "getgrouplist failed");
      return false;
    }
    if (setgroups(static_cast<size_t>(count), groups) != 0) {
      CORE_LOG(kFailureLevel, "setgroups failed: %s", std::strerror(errno));
      return false;
    }
  }
  // Also when the core already ran as the parent's user: it still sheds
  // everything but these three.
  if (parentUid != 0) SetCapabilities(kCapsAfterInit);
  return true;
}
