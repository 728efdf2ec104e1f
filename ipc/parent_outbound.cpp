// The parent link's outbound path: writing the packets plugins send the
// parent, within the byte limit.
#include "ipc/parent_outbound.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <boost/asio/post.hpp>

#include "events/raise.h"

void OutgoingLimit::SayRefusing(size_t bytes) {
  CORE_LOG(kLogNotable, "brevad is not reading: refusing packets for it (%zu bytes queued)", bytes);
}

void OutgoingLimit::SayAccepting() {
  CORE_LOG(kLogNotable, "brevad is reading again: accepting packets for it");
}

void OutgoingHandoff::Withdraw(void* buffer) {
  MutexLock lock(handoffMutex);
  takeDue = false;
  for (auto it = handedOver.begin(); it != handedOver.end(); ++it) {
    if (it->buffer.get() == buffer) {
      handedOver.erase(it);  // frees the buffer
      return;
    }
  }
}

void OutgoingHandoff::Close() {
  MutexLock lock(handoffMutex);
  closing = true;
}

void OutgoingHandoff::Take(std::vector<OutgoingPacket>& into, bool queueEmpty) {
  MutexLock lock(handoffMutex);
  into.swap(handedOver);
  // Cleared in the same critical section in which the list was found
  // empty, so that the next Push posts a take and none is left behind.
  if (into.empty() && queueEmpty) takeDue = false;
}

ParentOutbound::SendResult ParentOutbound::Send(void* buffer, uint32_t length) {
  SendResult refused = SendResult::kAccepted;
  if (buffer == nullptr || length == 0) {
    refused = SendResult::kEmpty;
  } else if (!link.ipcOpen.load()) {
    refused = SendResult::kNoLink;
  } else if (!limit.Reserve(length)) {
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
    accepted = handoff.Push(packet, post);
  } catch (...) {
    limit.Release(length);
    throw;
  }
  if (!accepted) {
    limit.Release(length);
    return SendResult::kClosing;  // the packet frees its buffer
  }
  // If the I/O service never runs the take, DropUnsent (or destruction)
  // frees what was handed over.
  if (!post) return SendResult::kAccepted;
  try {
    boost::asio::post(link.ioService, [this] {
      RunsOn io(g_ioThread);
      // A flush that ran first may have started the write, which then
      // takes these packets too.
      if (outgoingPackets.empty()) SendQueued();
    });
  } catch (...) {
    // No take comes for what was handed over: this packet is freed (its
    // raiser is told), and the next raiser posts the take for the others.
    handoff.Withdraw(buffer);
    limit.Release(length);
    throw;
  }
  return SendResult::kAccepted;
}

void ParentOutbound::Flush(std::chrono::steady_clock::duration bound) {
  handoff.Close();
  // Every packet accepted has been written, and no more are accepted: no
  // round trip through the I/O thread (a stop usually finds nothing queued).
  if (!link.ipcOpen.load() || limit.Empty()) return;
  std::future<void> done = flushDone.get_future();
  boost::asio::post(link.ioService, [this] {
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

void ParentOutbound::FinishFlushIfIdle() {
  if (flushing && (outgoingPackets.empty() || ipcSendFailed || !link.ipcSocket.is_open())) {
    flushing = false;
    flushDone.set_value();
  }
}

bool ParentOutbound::TakeHandedOver() {
  handoff.Take(taken, outgoingPackets.empty());
  for (OutgoingPacket& packet : taken) outgoingPackets.push_back(std::move(packet));
  taken.clear();
  return !outgoingPackets.empty();
}

void ParentOutbound::SendQueued() {
  if (!TakeHandedOver()) {
    FinishFlushIfIdle();
    return;
  }
  if (!link.ipcSocket.is_open() || ipcSendFailed) return;
  const unsigned records = FillBatch();
  int sent;
  do {
    sent =
        sendmmsg(link.ipcSocket.native_handle(), sendHeaders, records, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitUntilWritable();
    } else {
      FailFrontPacket();
    }
    return;
  }
  RetireSent(sent);
  if (sent == static_cast<int>(records)) {
    // The batch's bound, not the socket, stopped it, or the queue is empty:
    // the rest, and what raisers have handed over meanwhile, goes next,
    // behind the handlers already due.
    if (outgoingPackets.empty() && !TakeHandedOver()) {
      FinishFlushIfIdle();
      return;
    }
    boost::asio::post(link.ioService, [this] {
      RunsOn io(g_ioThread);
      if (link.ipcSocket.is_open()) {
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

unsigned ParentOutbound::FillBatch() {
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
  return records;
}

void ParentOutbound::RetireSent(int sent) {
  for (int i = 0; i < sent; i++) {
    frontWritten += sendPieces[i].iov_len;
    if (frontWritten == outgoingPackets.front().length) {
      limit.Release(static_cast<uint32_t>(outgoingPackets.front().length));
      outgoingPackets.pop_front();
      frontWritten = 0;
    }
  }
}

void ParentOutbound::WaitUntilWritable() {
  link.ipcSocket.async_wait(boost::asio::socket_base::wait_write,
                            [this](const boost::system::error_code& error) {
                              RunsOn io(g_ioThread);
                              if (error) {
                                FailFrontPacket();  // the link was closed under the write
                              } else {
                                SendQueued();
                              }
                            });
}

void ParentOutbound::FailFrontPacket() {
  if (outgoingPackets.empty()) return;
  // What is still queued after a failure stays unsent; shutdown frees it.
  limit.Release(static_cast<uint32_t>(outgoingPackets.front().length));
  outgoingPackets.pop_front();
  frontWritten = 0;
  ipcSendFailed = true;
  FinishFlushIfIdle();
}

void ParentOutbound::DropUnsent() {
  RunsOn afterIoThread(g_ioThread);  // shutdown: the I/O thread is joined
  size_t dropped = 0;
  auto drop = [this, &dropped](auto& packets) {
    for (const OutgoingPacket& packet : packets) limit.Forget(packet.length);
    dropped += packets.size();
    packets.clear();
  };
  drop(outgoingPackets);
  handoff.Take(taken, false);
  drop(taken);
  if (dropped != 0) CORE_LOG(kLogNotable, "%zu packets for brevad dropped unsent", dropped);
}
