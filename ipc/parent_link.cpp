// The parent link: receiving and relaying packets from the parent, and
// writing the packets plugins send it.
//
// DESIGN: the receive buffer is treated as a byte stream of length-prefixed
// packets: one receive may bring several packets, or part of one. A packet's
// target is searched in a copy of the plugin table's IOCTL entries, taken
// again only when the table has changed, so that a packet costs no lock;
// the plugin's IOCTL runs with no lock held. Losing the link stops the core
// after a one-minute pause that lets active watchdogs expire.
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <boost/asio/post.hpp>

#include "ipc/parent_link.h"

#include "events/call_watch.h"
#include "events/figures.h"
#include "events/plugin_call.h"
#include "events/raise.h"

ParentLink::ParentLink(boost::asio::io_service& ioService, PluginTable& plugins,
                       ParentLinkHost& host)
    : ioService(ioService), plugins(plugins), host(host), ipcSocket(ioService) {}

bool ParentLink::Adopt(int descriptor) {
  RunsOn beforeIoThread(g_ioThread);  // Init: the I/O thread does not run yet
  // Boost.Asio accepts descriptors that epoll cannot watch (a regular file,
  // /dev/null) and would only fail at the first receive; the parent link
  // must be a socket, so anything else fails here.
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
  boost::system::error_code error;
  ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), descriptor, error);
  if (error) return false;
  ipcOpen = true;
  return true;
}

void ParentLink::StartReceive() {
  // A wait, not a receive, so that the receive that follows can take many
  // records. Asio registers a wait with the reactor through EPOLL_CTL_MOD,
  // which polls the socket again: records that arrived while the I/O thread
  // was busy wake it at once, although their edge was taken by an earlier
  // epoll_wait.
  ipcSocket.async_wait(boost::asio::socket_base::wait_read,
                       [this](const boost::system::error_code& error) {
                         RunsOn io(g_ioThread);
                         if (error) {
                           host.ReceiveCompleted(error, 0);
                         } else {
                           ReceiveBatch();
                         }
                       });
}

void ParentLink::ReceiveBatch() {
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
    received = recvmmsg(ipcSocket.native_handle(), b.headers, kReceiveBatch, MSG_DONTWAIT, nullptr);
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
    if (!ipcSocket.is_open()) return;  // the link is lost: no more receives
  }
  if (received == static_cast<int>(kReceiveBatch)) {
    // More may be waiting: the next batch is taken without a round through
    // the reactor, but behind the handlers already due.
    boost::asio::post(ioService, [this] {
      RunsOn io(g_ioThread);
      if (ipcSocket.is_open()) ReceiveBatch();
    });
  } else {
    StartReceive();
  }
}

void ParentLink::Received(const boost::system::error_code& error, unsigned int bytes) {
  if (error || bytes == 0) {
    CORE_LOG(kLogFailure, "brevad ipc pipe disconnected");
    host.ParentStops(true);
    ipcOpen = false;
    boost::system::error_code closeError;
    ipcSocket.close(closeError);
    if (closeError) {
      CORE_LOG(kLogNotable, "failed to close ipc pipe: %s", closeError.message().c_str());
    }
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

void ParentLink::HandlePacket(const uint8_t* packet, uint32_t length) {
  IpcPacketHeader header;
  std::memcpy(&header, packet, sizeof header);
  if (header.type == kIpcTypeStop) {
    host.ParentStops(false);
  } else if (header.type == kIpcTypeIdentification && length > kIpcHeaderBytes) {
    TakeIdentification(packet, length);
  } else {
    RelayToPlugin(header, packet, length);
  }
}

void ParentLink::TakeIdentification(const uint8_t* packet, uint32_t length) {
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

void ParentLink::RelayToPlugin(const IpcPacketHeader& header, const uint8_t* packet,
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

ParentLink::SendResult ParentLink::Send(void* buffer, uint32_t length) {
  SendResult refused = SendResult::kAccepted;
  if (buffer == nullptr || length == 0) {
    refused = SendResult::kEmpty;
  } else if (!ipcOpen.load()) {
    refused = SendResult::kNoLink;
  } else if (!ReserveOutgoing(length)) {
    refused = SendResult::kFull;
  }
  if (refused != SendResult::kAccepted) {
    std::free(buffer);
    return refused;
  }
  OutgoingPacket packet;
  packet.buffer.reset(buffer);
  packet.length = length;
  bool accepted = false;
  bool post = false;
  try {
    MutexLock lock(handoffMutex);
    if (!closing) {
      handedOver.push_back(std::move(packet));  // on failure `packet` still owns the buffer
      accepted = true;
      post = !takeDue;
      takeDue = true;
    }
  } catch (...) {
    ReleaseOutgoing(length);
    throw;
  }
  if (!accepted) {
    ReleaseOutgoing(length);
    return SendResult::kClosing;  // the packet frees its buffer
  }
  // If the I/O service never runs the take, DropUnsent (or destruction)
  // frees what was handed over.
  if (!post) return SendResult::kAccepted;
  try {
    boost::asio::post(ioService, [this] {
      RunsOn io(g_ioThread);
      // A flush that ran first may have started the write, which then
      // takes these packets too.
      if (outgoingPackets.empty()) SendQueued();
    });
  } catch (...) {
    // No take comes for what was handed over: this packet is freed (its
    // raiser is told), and the next raiser posts the take for the others.
    WithdrawHandedOver(buffer);
    ReleaseOutgoing(length);
    throw;
  }
  return SendResult::kAccepted;
}

void ParentLink::Flush(std::chrono::steady_clock::duration bound) {
  {
    MutexLock lock(handoffMutex);
    closing = true;
  }
  // Every packet accepted has been written, and no more are accepted: no
  // round trip through the I/O thread (a stop usually finds nothing queued).
  if (!ipcOpen.load() || outgoingBytes.load() == 0) return;
  std::future<void> done = flushDone.get_future();
  boost::asio::post(ioService, [this] {
    RunsOn io(g_ioThread);
    flushing = true;
    // A write under way takes what was handed over and ends the flush when
    // it has written everything; otherwise this write does.
    if (outgoingPackets.empty()) SendQueued();
    FinishFlushIfIdle();
  });
  // What is still unwritten after the bound is dropped, and counted, once
  // the I/O thread has stopped.
  done.wait_for(bound);
}

void ParentLink::FinishFlushIfIdle() {
  if (flushing && (outgoingPackets.empty() || ipcSendFailed || !ipcSocket.is_open())) {
    flushing = false;
    flushDone.set_value();
  }
}

void ParentLink::WithdrawHandedOver(void* buffer) {
  MutexLock lock(handoffMutex);
  takeDue = false;
  for (auto it = handedOver.begin(); it != handedOver.end(); ++it) {
    if (it->buffer.get() == buffer) {
      handedOver.erase(it);  // frees the buffer
      return;
    }
  }
}

bool ParentLink::TakeHandedOver() {
  {
    MutexLock lock(handoffMutex);
    taken.swap(handedOver);
    // Cleared in the same critical section in which the list was found
    // empty, so that the next Send posts a take and none is left behind.
    if (taken.empty() && outgoingPackets.empty()) takeDue = false;
  }
  for (OutgoingPacket& packet : taken) outgoingPackets.push_back(std::move(packet));
  taken.clear();
  return !outgoingPackets.empty();
}

void ParentLink::SendQueued() {
  if (!TakeHandedOver()) {
    FinishFlushIfIdle();
    return;
  }
  if (!ipcSocket.is_open() || ipcSendFailed) return;
  // Each packet is one record, as one write of a stream socket sends at most
  // 65536 bytes: a longer packet leaves as records of 65536 bytes and the
  // rest, in order.
  unsigned records = 0;
  size_t batchBytes = 0, from = frontWritten;
  for (auto packet = outgoingPackets.begin(); packet != outgoingPackets.end(); ++packet, from = 0) {
    uint8_t* data = static_cast<uint8_t*>(packet->buffer.get());
    size_t at = from;
    for (; at < packet->length; records++) {
      const size_t piece = std::min<size_t>(packet->length - at, kIpcMaxPacket);
      if (records != 0 && (records == kSendBatch || batchBytes + piece > kSendBatchBytes)) break;
      sendPieces[records] = iovec{data + at, piece};
      sendHeaders[records].msg_hdr = msghdr{};
      sendHeaders[records].msg_hdr.msg_iov = &sendPieces[records];
      sendHeaders[records].msg_hdr.msg_iovlen = 1;
      at += piece;
      batchBytes += piece;
    }
    if (at < packet->length) break;  // the batch is full
  }
  int sent;
  do {
    sent = sendmmsg(ipcSocket.native_handle(), sendHeaders, records, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitUntilWritable();
    } else {
      FailFrontPacket();
    }
    return;
  }
  for (int i = 0; i < sent; i++) {
    frontWritten += sendPieces[i].iov_len;
    if (frontWritten == outgoingPackets.front().length) {
      ReleaseOutgoing(static_cast<uint32_t>(outgoingPackets.front().length));
      outgoingPackets.pop_front();
      frontWritten = 0;
    }
  }
  if (sent == static_cast<int>(records)) {
    // The batch's bound, not the socket, stopped it, or the queue is empty:
    // the rest, and what raisers have handed over meanwhile, goes next,
    // behind the handlers already due.
    if (outgoingPackets.empty() && !TakeHandedOver()) {
      FinishFlushIfIdle();
      return;
    }
    boost::asio::post(ioService, [this] {
      RunsOn io(g_ioThread);
      if (ipcSocket.is_open()) {
        SendQueued();
      } else {
        FailFrontPacket();
      }
    });
  } else {
    // The socket is full (or failing, which the next sendmmsg reports).
    WaitUntilWritable();
  }
}

void ParentLink::WaitUntilWritable() {
  ipcSocket.async_wait(boost::asio::socket_base::wait_write,
                       [this](const boost::system::error_code& error) {
                         RunsOn io(g_ioThread);
                         if (error) {
                           FailFrontPacket();  // the link was closed under the write
                         } else {
                           SendQueued();
                         }
                       });
}

void ParentLink::FailFrontPacket() {
  if (outgoingPackets.empty()) return;
  // What is still queued after a failure stays unsent; shutdown frees it.
  ReleaseOutgoing(static_cast<uint32_t>(outgoingPackets.front().length));
  outgoingPackets.pop_front();
  frontWritten = 0;
  ipcSendFailed = true;
  FinishFlushIfIdle();
}

void ParentLink::DropUnsent() {
  RunsOn afterIoThread(g_ioThread);  // shutdown: the I/O thread is joined
  size_t dropped = 0;
  auto drop = [this, &dropped](auto& packets) {
    for (const OutgoingPacket& packet : packets) outgoingBytes -= packet.length;
    dropped += packets.size();
    packets.clear();
  };
  drop(outgoingPackets);
  {
    MutexLock lock(handoffMutex);
    drop(handedOver);
  }
  if (dropped != 0) CORE_LOG(kLogNotable, "%zu packets for brevad dropped unsent", dropped);
}

bool ParentLink::ReserveOutgoing(uint32_t length) {
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
        CORE_LOG(kLogNotable, "brevad is not reading: refusing packets for it (%zu bytes queued)",
                 bytes);
      }
      return false;
    }
  } while (!outgoingBytes.compare_exchange_weak(bytes, bytes + length));
  return true;
}

void ParentLink::ReleaseOutgoing(uint32_t length) {
  if (outgoingBytes.fetch_sub(length) - length <= kOutgoingLimit / 2) ResumeOutgoing();
}

void ParentLink::ResumeOutgoing() {
  if (refusingOutgoing.load() && refusingOutgoing.exchange(false)) {
    CORE_LOG(kLogNotable, "brevad is reading again: accepting packets for it");
  }
}

void ParentLink::WaitForIdentification(std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(identityMutex);
  while (!identified && !waitAbandoned) {
    if (!identityChanged.WaitUntil(lock, deadline)) return;
  }
}

void ParentLink::StopWaiting() {
  {
    MutexLock lock(identityMutex);
    waitAbandoned = true;
  }
  identityChanged.NotifyAll();
}

ParentLink::Identity ParentLink::ParentIdentity() {
  MutexLock lock(identityMutex);
  return {libraryFilename, libraryVersion};
}
