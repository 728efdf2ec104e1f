// Threads the core lends plugins: a worker thread (one IOCTL with
// IOCTL_RUN_WORKER), a reader thread (one Read without data), and one event
// thread per immediate event and receiving plugin (one Read with a copy).
//
// DESIGN: worker and reader threads are kept in the plugin's record and
// joined before its Unload. Event threads are detached; each is registered in
// the reply slots for the length of its Read (so that answers it raises are
// accepted) and counts itself in the plugin's PluginActivity, which the
// unloading step waits on. Leaving the activity is an event thread's last
// touch of the core.
//
// A lent thread is the plugin's to end: it may call pthread_exit inside its
// entry, or be cancelled there. The thread then unwinds (CallPluginEntry lets
// it), so everything an event thread registered is undone by guards on every
// way out, and a joined worker or reader is simply found finished.
//
// A worker or reader thread that cannot be started is logged; the plugin
// goes on without it. An event thread that cannot be started is logged as a
// failure and its raiser is told (the event did not reach that plugin).
//
// Event threads run on stacks of kEventThreadStackBytes rather than the
// default of the stack limit (8 MiB): they are many and short-lived, and a
// plugin that keeps them waiting in Read must not use up a 32-bit address
// space with stacks (a few hundred threads of 8 MiB fill it, where the
// user's limit of threads on such a board is some thousands). Worker and
// reader threads, one each per plugin, keep the default. Their number is
// not bounded: any fixed count would refuse events that plugins receive
// today or lie beyond what the machine allows, and the raiser learns when
// no thread could be had.
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include "events/plugin_threads.h"

#include "events/call_watch.h"
#include "events/names.h"
#include "events/plugin_call.h"
#include "events/raise.h"
#include "sys/proc.h"
#include "sys/utf8.h"

namespace {

// 1 MiB: generous for C and C++ code (glibc caps its own stack buffers at
// 64 KiB on any stack of 256 KiB or more, as on 8 MiB; musl gives every
// thread 128 KiB, macOS secondary threads get 512 KiB), while a 32-bit
// process fits thousands of them.
constexpr size_t kEventThreadStackBytes = size_t{1} << 20;

void RunWorker(PluginEntry ioctl) {
  IoctlCall call(IOCTL_RUN_WORKER, nullptr, 0);
  WatchedCall watched(0, "worker IOCTL");
  CallPluginEntry(ioctl, &call.in, &call.out, ThreadEnd::kLetItEnd);
}

void CallRead(PluginEntry read, uint32_t dataLength, void* data, uint32_t correlationId) {
  auto in = NewRecord<_ReadParmsIn>();
  in.reserved1 = 1;
  in.dataLength = dataLength;
  in.data = data;
  in.correlationId = correlationId;
  auto out = NewRecord<_ReadParmsOut>();
  CallPluginEntry(read, &in, &out, ThreadEnd::kLetItEnd);
}

// An event thread's hold on its plugin and its data copy, given up when the
// thread ends however it ends. Leaving the activity comes last: after it the
// plugin may be unmapped and the core may be gone.
class EventThreadLease {
 public:
  EventThreadLease(PluginActivity& activity, void* copy) : activity_(activity), copy_(copy) {}
  ~EventThreadLease() {
    std::free(copy_);
    activity_.Leave();
  }
  EventThreadLease(const EventThreadLease&) = delete;
  EventThreadLease& operator=(const EventThreadLease&) = delete;

 private:
  PluginActivity& activity_;
  void* copy_;
};

// What an event thread is started with; the thread owns `copy`.
struct EventThreadStart {
  PluginEntry read;
  uint32_t eventType;
  uint32_t sourceId;
  uint32_t dataLength;
  void* copy;
  uint32_t correlationId;
  PluginActivity* activity;
  ReplySlots* slots;
};

void* RunEventThread(void* argument) {
  const EventThreadStart start = *static_cast<EventThreadStart*>(argument);
  delete static_cast<EventThreadStart*>(argument);
  NameThisThread(start.activity->eventThreadName.data());
  PluginFigures& figures = *start.activity->figures;
  SetThreadFigures(&figures);
  // Destroyed in reverse order: the timing and the registration first, the
  // lease last.
  EventThreadLease lease(*start.activity, start.copy);
  ReplySlots::Registration registration(*start.slots);
  OwnCallSlot slot;
  WatchedCall watched(0, EntryName(EntryPoint::kRead), start.eventType, start.sourceId);
  TimedCall timed(figures, CallEntry::kRead, DeliveryKind::kRead);
  CallRead(start.read, start.dataLength, start.copy, start.correlationId);
  return nullptr;
}

// True on the main thread while a plugin's Load or Open runs (between
// ThreadsStartedInCall's Before and After): an event thread started then is
// named by its starter as well, before the call returns, so that the naming
// after the call never finds it still under the core's name.
thread_local bool t_inNamedCall = false;

// Starts RunEventThread detached on a stack of kEventThreadStackBytes; 0 or
// the error number.
int StartDetached(EventThreadStart* start) {
  const bool nameHere = t_inNamedCall;
  ThreadName name{};
  if (nameHere) name = start->activity->eventThreadName;  // `start` is the thread's
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error != 0) return error;
  // Joinable until named: a detached thread's handle may be gone at once.
  error = pthread_attr_setdetachstate(&attributes,
                                      nameHere ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
  if (error == 0) error = pthread_attr_setstacksize(&attributes, kEventThreadStackBytes);
  pthread_t thread;
  if (error == 0) error = pthread_create(&thread, &attributes, RunEventThread, start);
  pthread_attr_destroy(&attributes);
  if (error == 0 && nameHere) {
    pthread_setname_np(thread, name.data());
    pthread_detach(thread);
  }
  return error;
}

}  // namespace

namespace {

// The core's own threads are "dvrcore" and "dvrcore:io", "dvrcore:watch",
// "dvrcore:stats": no plugin's tag may pass for theirs.
constexpr char kCoreThreadTag[] = "dvrcore";

// `name` as valid UTF-8 without control characters: '?' for what is not.
std::string Readable(const std::string& name) {
  std::string readable;
  for (size_t i = 0; i < name.size();) {
    uint32_t c = 0;
    const size_t length = DecodeUtf8(name.data() + i, name.size() - i, c);
    if (length == 0 || c < 0x20 || c == 0x7F) {
      readable += '?';
      i++;
    } else {
      readable.append(name, i, length);
      i += length;
    }
  }
  return readable;
}

// At most `bytes` bytes of the valid UTF-8 `text`, cut where a character
// begins.
std::string CutAtCharacter(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) bytes--;
  return text.substr(0, bytes);
}

}  // namespace

std::string ThreadTag(const std::string& moduleName, const std::set<std::string>& taken) {
  const std::string readable = Readable(moduleName);
  auto usable = [&taken](const std::string& tag) {
    return !tag.empty() && tag != kCoreThreadTag && taken.count(tag) == 0;
  };
  std::string tag = CutAtCharacter(readable, kThreadTagBytes);
  for (unsigned mark = 2; !usable(tag); mark++) {
    const std::string suffix = "~" + std::to_string(mark);
    tag = CutAtCharacter(readable, kThreadTagMostBytes - suffix.size()) + suffix;
  }
  return tag;
}

ThreadName MakeThreadName(const std::string& tag, const char* role) {
  // Joined by hand, cut to the kernel's 15 bytes: snprintf's reading of its
  // format cost more than the rest of naming a plugin's threads at its load.
  ThreadName name{};
  const size_t room = name.size() - 1;
  const size_t tagBytes = std::min(std::strlen(tag.c_str()), room);
  std::memcpy(name.data(), tag.data(), tagBytes);
  std::memcpy(name.data() + tagBytes, role, std::min(std::strlen(role), room - tagBytes));
  return name;
}

void NameThisThread(const char* name) {
  // A name the kernel refuses (too long) leaves the old one: only a display.
  pthread_setname_np(pthread_self(), name);
}

namespace {

// Starts a worker or reader thread that names itself and runs `body`; an
// empty thread, logged, when the plugin lacks `entry` or no thread could be
// had.
template <typename Body>
std::thread StartLentThread(const char* kind, PluginEntry entry, const char* entryName,
                            const std::string& fileName, const ThreadName& name,
                            PluginFigures* figures, Body body) {
  if (entry == nullptr) {
    CORE_LOG(kLogNotable, "plugin %s asks for a %s thread but has no %s entry", fileName.c_str(),
             kind, entryName);
    return {};
  }
  try {
    std::thread thread([name, figures, body] {
      NameThisThread(name.data());
      SetThreadFigures(figures);
      OwnCallSlot slot;
      body();
    });
    // Named by its starter too, before the next plugin's Load can start a
    // thread: ThreadsStartedInCall must never find it under the core's name.
    pthread_setname_np(thread.native_handle(), name.data());
    return thread;
  } catch (const std::system_error& error) {
    CORE_LOG(kLogFailure, "plugin %s %s thread could not be started: %s", fileName.c_str(), kind,
             error.what());
    return {};
  }
}

}  // namespace

std::thread StartWorkerThread(PluginEntry ioctl, const std::string& fileName,
                              const std::string& tag, PluginFigures* figures) {
  return StartLentThread("worker", ioctl, EntryName(EntryPoint::kIoctl), fileName,
                         MakeThreadName(tag, ":wk"), figures, [ioctl] { RunWorker(ioctl); });
}

std::thread StartReaderThread(PluginEntry read, const std::string& fileName,
                              const std::string& tag, PluginFigures* figures) {
  return StartLentThread("reader", read, EntryName(EntryPoint::kRead), fileName,
                         MakeThreadName(tag, ":rd"), figures, [read] {
                           WatchedCall watched(0, EntryName(EntryPoint::kRead));
                           CallRead(read, 0u, nullptr, 0u);
                         });
}

void JoinLentThread(std::thread& thread, const std::string& fileName, const char* kind) {
  if (!thread.joinable()) return;
  // Its name now, as the plugin may have renamed it.
  ThreadName name{};
  pthread_getname_np(thread.native_handle(), name.data(), name.size());
  const std::string what = std::string(kind) + " thread";
  StopWait wait(fileName, what.c_str(), name.data());
  thread.join();
}

int StartEventThread(PluginEntry read, uint32_t eventType, uint32_t sourceId, uint32_t dataLength,
                     void* copy, uint32_t correlationId, PluginActivity& activity,
                     ReplySlots& slots) {
  auto* start = new (std::nothrow) EventThreadStart{
      read, eventType, sourceId, dataLength, copy, correlationId, &activity, &slots};
  const int error = start != nullptr ? StartDetached(start) : ENOMEM;
  if (error == 0) return 0;
  delete start;
  std::free(copy);
  return error;
}

bool PluginActivity::Enter() {
  MutexLock lock(mutex_);
  if (sealed_) return false;
  ++live_;
  return true;
}

void PluginActivity::Leave() {
  MutexLock lock(mutex_);
  // Notify under the lock: once the count reaches zero the unloading thread
  // may destroy this object as soon as it can take the mutex.
  if (--live_ == 0) idle_.NotifyAll();
}

void PluginActivity::SealAndWait() {
  {
    MutexLock lock(mutex_);
    sealed_ = true;
    if (live_ == 0) return;
  }
  // Published without the activity's lock: the stop wait's is a leaf.
  StopWait wait(figures->fileName, "event threads", eventThreadName.data());
  MutexLock lock(mutex_);
  while (live_ != 0) idle_.Wait(lock);
}

void ThreadsStartedInCall::Rebase() {
  if (!rebased_) prctl(PR_GET_NAME, mainName_.data());
  rebased_ = true;
  self_ = getpid();  // the main thread; getpid is a system call each time
  const std::vector<pid_t> tids = ListTasks();
  known_.assign(tids.begin(), tids.end());
}

void ThreadsStartedInCall::Before() {
  if (!rebased_) Rebase();
  t_inNamedCall = true;
}

void ThreadsStartedInCall::After(const ThreadName& name) {
  t_inNamedCall = false;
  const std::vector<pid_t> now = ListTasks();
  for (pid_t tid : now) {
    if (tid == self_ || std::binary_search(known_.begin(), known_.end(), tid)) continue;
    if (ThreadComm(tid) != mainName_.data()) continue;
    const int fd = open((TaskPath(tid) + "/comm").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) continue;  // ended meanwhile
    ssize_t ignored = write(fd, name.data(), std::strlen(name.data()));  // only a display
    (void)ignored;
    close(fd);
  }
  known_.assign(now.begin(), now.end());
}
