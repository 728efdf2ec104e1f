// The parent's identity: the library file name and version its identification
// packet carries, and the main thread's wait for that packet at start-up.
//
// DESIGN (threads): written on the I/O thread as the packet arrives, waited
// for on the main thread, read on any thread; everything under identityMutex,
// a leaf lock.
#ifndef DVRCORE_IPC_PARENT_IDENTIFICATION_H
#define DVRCORE_IPC_PARENT_IDENTIFICATION_H

#include <chrono>
#include <cstdint>
#include <string>

#include "events/locks.h"

class ParentIdentification {
 public:
  // The parent's library file name and version, as a pair.
  struct Identity {
    std::string libraryFilename;
    std::string libraryVersion;
  };

  // I/O thread: takes the identification packet (`length` bytes, header
  // included, with a payload) and ends the wait.
  void Take(const uint8_t* packet, uint32_t length) EXCLUDES(identityMutex);
  // Main thread: waits until the parent has identified itself (also before
  // the wait), StopWaiting is called, or `timeout` has passed.
  void WaitFor(std::chrono::steady_clock::duration timeout) REQUIRES(g_mainThread)
      EXCLUDES(identityMutex);
  // Any thread: ends that wait for good.
  void StopWaiting() EXCLUDES(identityMutex);
  // Any thread.
  Identity Get() EXCLUDES(identityMutex);

 private:
  Mutex identityMutex;
  CondVar identityChanged;  // only WaitFor waits on it
  std::string libraryFilename GUARDED_BY(identityMutex);
  std::string libraryVersion GUARDED_BY(identityMutex);
  bool identified GUARDED_BY(identityMutex) = false;
  bool waitAbandoned GUARDED_BY(identityMutex) = false;
};

#endif  // DVRCORE_IPC_PARENT_IDENTIFICATION_H
