// The parent link's packet format, shared by the core, the stand-in parent,
// the tests and the fuzz target.
//
// Every packet from the parent starts with a 16-byte header of four native
// 32-bit words; `length` counts the header and is at most 65536. Packets to the
// parent are whatever plugins hand over, sent unchanged.
#ifndef DVRCORE_IPC_PACKETS_H
#define DVRCORE_IPC_PACKETS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

constexpr uint32_t kIpcMaxPacket = 65536;
constexpr uint32_t kIpcHeaderBytes = 16;
constexpr uint32_t kIpcTypeIdentification = 7;
constexpr uint32_t kIpcTypeStop = 8;

struct IpcPacketHeader {
  uint32_t length;  // whole packet, header included
  uint32_t target;  // bits 31-20 select the plugin whose ID has them in bits 27-16
  uint32_t type;    // 7 identification, 8 stop, else a plugin packet
  uint32_t word3;   // passed on to the plugin, not read by the core
};
static_assert(sizeof(IpcPacketHeader) == kIpcHeaderBytes, "16-byte header");

// True when a packet with `target` selects the plugin with `id`.
inline bool IpcTargetSelects(uint32_t target, uint32_t id) {
  return (target >> 20) == ((id >> 16) & 0xFFFu);
}

// Hands every complete packet at the front of bytes[0, count) to
// `handle(const uint8_t* packet, uint32_t length)` in order, then moves the
// unhandled rest to the front and updates `count`. A header whose length is
// below 16 or above 65536 cannot be trusted to find the next packet: every
// buffered byte is dropped and false is returned. `count` must not exceed
// 65536.
template <typename Handler>
bool SplitIpcPackets(uint8_t* bytes, uint32_t& count, Handler&& handle) {
  uint32_t start = 0;
  bool ok = true;
  while (count - start >= kIpcHeaderBytes) {
    uint32_t length;
    std::memcpy(&length, bytes + start, sizeof length);
    if (length > kIpcMaxPacket || length < kIpcHeaderBytes) {
      ok = false;
      start = count;
      break;
    }
    if (count - start < length) break;
    handle(static_cast<const uint8_t*>(bytes + start), length);
    start += length;
  }
  if (start != 0) {
    std::memmove(bytes, bytes + start, count - start);
    count -= start;
  }
  return ok;
}

// Builds one packet from the parent's side.
inline std::vector<uint8_t> MakeIpcPacket(uint32_t target, uint32_t type, const void* payload,
                                          size_t payloadLength, uint32_t word3 = 0) {
  std::vector<uint8_t> packet(kIpcHeaderBytes + payloadLength);
  IpcPacketHeader header{static_cast<uint32_t>(packet.size()), target, type, word3};
  std::memcpy(packet.data(), &header, sizeof header);
  if (payloadLength) std::memcpy(packet.data() + kIpcHeaderBytes, payload, payloadLength);
  return packet;
}

#endif  // DVRCORE_IPC_PACKETS_H
