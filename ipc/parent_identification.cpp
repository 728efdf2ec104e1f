// The parent's identity and the wait for it.
#include "ipc/parent_identification.h"

#include <cstring>

#include "ipc/packets.h"

void ParentIdentification::Take(const uint8_t* packet, uint32_t length) {
  // "<file name>\0<version>": pieces end at a zero byte or the payload's end.
  const char* payload = reinterpret_cast<const char*>(packet + kIpcHeaderBytes);
  const size_t payloadLength = length - kIpcHeaderBytes;
  const void* zero = std::memchr(payload, 0, payloadLength);
  {
    MutexLock lock(identityMutex);
    if (zero == nullptr) {
      libraryFilename.assign(payload, payloadLength);
    } else {
      const char* second = static_cast<const char*>(zero) + 1;
      const char* end = payload + payloadLength;
      const void* secondZero = std::memchr(second, 0, end - second);
      libraryFilename.assign(payload, static_cast<const char*>(zero));
      libraryVersion.assign(second, secondZero ? static_cast<const char*>(secondZero) : end);
    }
    identified = true;
  }
  identityChanged.NotifyAll();
}

void ParentIdentification::WaitFor(std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(identityMutex);
  while (!identified && !waitAbandoned) {
    if (!identityChanged.WaitUntil(lock, deadline)) return;
  }
}

void ParentIdentification::StopWaiting() {
  {
    MutexLock lock(identityMutex);
    waitAbandoned = true;
  }
  identityChanged.NotifyAll();
}

ParentIdentification::Identity ParentIdentification::Get() {
  MutexLock lock(identityMutex);
  return {libraryFilename, libraryVersion};
}
