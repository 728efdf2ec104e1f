// The parent link's inbound path: receiving and relaying packets from the
// parent.
//
// DESIGN: the receive buffer is treated as a byte stream of length-prefixed
// packets: one receive may bring several packets, or part of one. A packet's
// target is searched in a copy of the plugin table's IOCTL entries, taken
// again only when the table has changed, so that a packet costs no lock;
// the plugin's IOCTL runs with no lock held. Losing the link stops the core
// after a one-minute pause that lets active watchdogs expire.
#include "ipc/parent_inbound.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <boost/asio/post.hpp>

#include "events/call_watch.h"
#include "events/figures.h"
#include "events/plugin_call.h"
#include "events/raise.h"

void ParentInbound::StartReceive() {
  // A wait, not a receive, so that the receive that follows can take many
  // records. Asio registers a wait with the reactor through EPOLL_CTL_MOD,
  // which polls the socket again: records that arrived while the I/O thread
  // was busy wake it at once, although their edge was taken by an earlier
  // epoll_wait.
  link.ipcSocket.async_wait(boost::asio::socket_base::wait_read,
                            [this](const boost::system::error_code& error) {
                              RunsOn io(g_ioThread);
                              if (error) {
                                host.ReceiveCompleted(error, 0);
                              } else {
                                ReceiveBatch();
                              }
                            });
}

void ParentInbound::ReceiveBatch() {
  IpcBuffer& b = ipcBuffer;
  if (!b.slots) {
    constexpr size_t kWords = (kReceiveBatch - 1) * kIpcBufferSize / sizeof(std::max_align_t);
    b.slots.reset(new std::max_align_t[kWords]);  // left unfilled: no page is touched yet
  }
  uint8_t* slots = reinterpret_cast<uint8_t*>(b.slots.get());
  for (unsigned i = 0; i < kReceiveBatch; i++) {
    b.pieces[i] = i == 0 ? iovec{b.bytes + b.count, kIpcBufferSize - b.count}
                         : iovec{slots + (i - 1) * kIpcBufferSize, kIpcBufferSize};
    b.headers[i].msg_hdr = msghdr{};
    b.headers[i].msg_hdr.msg_iov = &b.pieces[i];
    b.headers[i].msg_hdr.msg_iovlen = 1;
  }
  int received;
  do {
    received =
        recvmmsg(link.ipcSocket.native_handle(), b.headers, kReceiveBatch, MSG_DONTWAIT, nullptr);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      StartReceive();  // woken for records an earlier batch took
      return;
    }
    host.ReceiveCompleted(boost::system::error_code(errno, boost::system::system_category()), 0);
    return;
  }
  for (int i = 0; i < received; i++) {
    // A record longer than its room comes cut short (MSG_TRUNC); as from a
    // single receive, the bytes that fitted are all there is of it.
    b.slotRecord = i == 0 ? nullptr : static_cast<uint8_t*>(b.pieces[i].iov_base);
    host.ReceiveCompleted(boost::system::error_code(), b.headers[i].msg_len);
    b.slotRecord = nullptr;
    if (!link.ipcSocket.is_open()) return;  // the link is lost: no more receives
  }
  if (received == static_cast<int>(kReceiveBatch)) {
    // More may be waiting: the next batch is taken without a round through
    // the reactor, but behind the handlers already due.
    boost::asio::post(link.ioService, [this] {
      RunsOn io(g_ioThread);
      if (link.ipcSocket.is_open()) ReceiveBatch();
    });
  } else {
    StartReceive();
  }
}

void ParentInbound::Received(const boost::system::error_code& error, unsigned int bytes) {
  if (error || bytes == 0) {
    LoseLink();
    return;
  }

  IpcBuffer& b = ipcBuffer;
  auto handle = [this](const uint8_t* packet, uint32_t length) {
    RunsOn io(g_ioThread);  // called within Received
    HandlePacket(packet, length);
  };
  bool lengthsValid;
  if (b.slotRecord == nullptr) {
    b.count += bytes;
    lengthsValid = SplitIpcPackets(b.bytes, b.count, handle);
  } else if (b.count == 0) {
    // Nothing pending: the record's packets are handled in its slot, and
    // the start of a packet it ends with waits in the buffer.
    uint32_t left = bytes;
    lengthsValid = SplitIpcPackets(b.slotRecord, left, handle);
    std::memcpy(b.bytes, b.slotRecord, left);
    b.count = left;
  } else {
    // Behind pending bytes, a single receive would have had the room left
    // in the buffer and lost the rest of the record.
    bytes = std::min<uint32_t>(bytes, kIpcBufferSize - b.count);
    std::memcpy(b.bytes + b.count, b.slotRecord, bytes);
    b.count += bytes;
    lengthsValid = SplitIpcPackets(b.bytes, b.count, handle);
  }
  // A length outside 16..65536 leaves no way to find the next packet: what was
  // buffered is dropped, and receiving goes on.
  if (!lengthsValid) CORE_LOG(kLogNotable, "bad ipc packet length");
}

void ParentInbound::LoseLink() {
  CORE_LOG(kLogFailure, "brevad ipc pipe disconnected");
  host.ParentStops(true);
  link.ipcOpen = false;
  boost::system::error_code closeError;
  link.ipcSocket.close(closeError);
  if (closeError) {
    CORE_LOG(kLogNotable, "failed to close ipc pipe: %s", closeError.message().c_str());
  }
}

void ParentInbound::HandlePacket(const uint8_t* packet, uint32_t length) {
  IpcPacketHeader header;
  std::memcpy(&header, packet, sizeof header);
  if (header.type == kIpcTypeStop) {
    host.ParentStops(false);
  } else if (header.type == kIpcTypeIdentification && length > kIpcHeaderBytes) {
    identity.Take(packet, length);
  } else {
    RelayToPlugin(header, packet, length);
  }
}

void ParentInbound::RelayToPlugin(const IpcPacketHeader& header, const uint8_t* packet,
                                  uint32_t length) {
  plugins.CopyIoctlRoutes(routesSeen, routes);
  PluginTable::IoctlTarget target;
  for (const PluginTable::IoctlTarget& route : routes) {
    if (IpcTargetSelects(header.target, route.id)) {
      target = route;
      break;
    }
  }
  if (target.ioctl == nullptr) return;  // nobody is addressed: dropped silently

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
  int32_t rc;
  {
    WatchedCall watched(target.id, "IOCTL of a packet from brevad");
    TimedCall timed(*target.figures, CallEntry::kIoctl, DeliveryKind::kPacket);
    rc = CallPluginEntry(target.ioctl, &call.in, &call.out);
  }
  ReportFailedCall(rc, call.out.error, kLogDetail, "ipc ioctl",
                   [&] { return plugins.FileNameOf(target.id); });
}
