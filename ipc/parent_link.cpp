// The parent link: one sequenced-packet socket to the parent daemon brevad.
//
// Packets from the parent are identification (type 7 with a payload), stop
// (type 8) or plugin packets, which are relayed in place to the addressed
// plugin's IOCTL. Packets that plugins raise as EVENT_TO_PARENT are queued and
// written one at a time, unchanged.
//
// DESIGN: everything here runs on the I/O thread, so ipcBuffer and
// outgoingPackets need no lock. The receive buffer is treated as a byte
// stream of length-prefixed packets: one receive may bring several packets,
// or part of one. The plugin table is walked under pluginsLock held shared to
// find the target; the plugin's IOCTL runs with no lock held. Losing the link
// stops the core after a one-minute pause that lets active watchdogs expire.
#include <cstring>

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

#include "core/dvrcore.h"
#include "ipc/ipc.h"

void dvrcore::StartReceive() {
  ipcSocket.async_receive(
      boost::asio::buffer(ipcBuffer.bytes + ipcBuffer.count, kIpcBufferSize - ipcBuffer.count), 0,
      [this](const boost::system::error_code& error, std::size_t bytes) {
        ProcessIPC(error, static_cast<unsigned int>(bytes));
      });
}

void dvrcore::ProcessIPC(const boost::system::error_code& error, unsigned int bytes) {
  if (error || bytes == 0) {
    CORE_LOG(100, "brevad ipc pipe disconnected");
    CORE_LOG(100, "sleeping for one minute to allow active watchdogs to expire...");
    delayStop = true;
    RequestStop();
    ipcOpen = false;
    boost::system::error_code closeError;
    ipcSocket.close(closeError);
    if (closeError) CORE_LOG(50, "failed to close ipc pipe: %s", closeError.message().c_str());
    return;
  }

  ipcBuffer.count += bytes;
  bool lengthsValid = SplitIpcPackets(
      ipcBuffer.bytes, ipcBuffer.count,
      [this](const uint8_t* packet, uint32_t length) { HandleParentPacket(packet, length); });
  // A length outside 16..65536 leaves no way to find the next packet: what was
  // buffered is dropped, and receiving goes on.
  if (!lengthsValid) CORE_LOG(50, "bad ipc packet length");
  StartReceive();
}

void dvrcore::HandleParentPacket(const uint8_t* packet, uint32_t length) {
  IpcPacketHeader header;
  std::memcpy(&header, packet, sizeof header);

  if (header.type == kIpcTypeStop) {
    RequestStop();
    return;
  }

  if (header.type == kIpcTypeIdentification && length > kIpcHeaderBytes) {
    // "<file name>\0<version>": pieces end at a zero byte or the payload's end.
    const char* payload = reinterpret_cast<const char*>(packet + kIpcHeaderBytes);
    const size_t payloadLength = length - kIpcHeaderBytes;
    const void* zero = std::memchr(payload, 0, payloadLength);
    std::lock_guard<std::mutex> lock(coreMutex);
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
    coreWakeup.notify_one();
    return;
  }

  PluginEntry ioctl = nullptr;
  uint32_t id = 0;
  {
    std::shared_lock<std::shared_mutex> lock(pluginsLock);
    for (const PLUGININFO& plugin : plugins) {
      if (IpcTargetSelects(header.target, plugin.desc.id)) {
        ioctl = plugin.IOCTL;
        id = plugin.desc.id;
        break;
      }
    }
  }
  if (ioctl == nullptr) return;  // nobody is addressed: dropped silently

  uint8_t* data = const_cast<uint8_t*>(packet);
  if (reinterpret_cast<uintptr_t>(data) % alignof(std::max_align_t) != 0) {
    if (!ipcBuffer.aligned) {
      ipcBuffer.aligned.reset(new std::max_align_t[kIpcBufferSize / sizeof(std::max_align_t)]);
    }
    data = reinterpret_cast<uint8_t*>(ipcBuffer.aligned.get());
    std::memcpy(data, packet, length);
  }
  IoctlCall call(IOCTL_IPC_PACKET, data, header.length);
  // The I/O thread is joined before any plugin is unloaded, so the entry
  // stays mapped for the length of the call.
  int32_t rc = CallPluginEntry(ioctl, &call.in, &call.out);
  if (rc != 0 || call.out.error != 0) {
    std::string fileName;
    {
      std::shared_lock<std::shared_mutex> lock(pluginsLock);
      for (const PLUGININFO& plugin : plugins) {
        if (plugin.desc.id == id) fileName = plugin.fileName;
      }
    }
    CORE_LOG(0, "plugin %s ipc ioctl returned %d error %d", fileName.c_str(), rc, call.out.error);
  }
}

void dvrcore::QueuePacket(OutgoingPacket packet) {
  outgoingPackets.push_back(std::move(packet));
  if (outgoingPackets.size() == 1) SendFrontPacket();
}

void dvrcore::SendFrontPacket() {
  if (outgoingPackets.empty() || !ipcSocket.is_open() || ipcSendFailed) return;
  const OutgoingPacket& front = outgoingPackets.front();
  // async_write writes at most 65536 bytes per send, so a packet of up to
  // 65536 bytes leaves as one record.
  boost::asio::async_write(
      ipcSocket, boost::asio::buffer(front.buffer.get(), front.length),
      [this](const boost::system::error_code& error, std::size_t) {
        ReleaseOutgoing(static_cast<uint32_t>(outgoingPackets.front().length));
        outgoingPackets.pop_front();
        if (error) {
          // What is still queued stays unsent; shutdown frees it.
          ipcSendFailed = true;
          return;
        }
        SendFrontPacket();
      });
}

bool dvrcore::ReserveOutgoing(uint32_t length) {
  size_t bytes = outgoingBytes.load();
  if (refusingOutgoing.load()) {
    // Also checked here, not only as packets leave: if the queue emptied
    // while refusing began, no write would ever come to end it.
    if (bytes > kOutgoingLimit / 2) return false;
    ResumeOutgoing();
  }
  do {
    if (bytes + length > kOutgoingLimit) {
      if (!refusingOutgoing.exchange(true)) {
        CORE_LOG(50, "brevad is not reading: refusing packets for it (%zu bytes queued)", bytes);
      }
      return false;
    }
  } while (!outgoingBytes.compare_exchange_weak(bytes, bytes + length));
  return true;
}

void dvrcore::ReleaseOutgoing(uint32_t length) {
  if (outgoingBytes.fetch_sub(length) - length <= kOutgoingLimit / 2) ResumeOutgoing();
}

void dvrcore::ResumeOutgoing() {
  if (refusingOutgoing.load() && refusingOutgoing.exchange(false)) {
    CORE_LOG(50, "brevad is reading again: accepting packets for it");
  }
}
