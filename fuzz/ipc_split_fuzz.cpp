// Fuzzes the splitting of the parent link's byte stream into packets, driven
// the way the core's receive loop drives it: each receive appends at most
// 65536 - count bytes behind the unprocessed ones, then SplitIpcPackets hands
// out the complete packets and keeps the rest.
//
// Input format, so that short inputs reach every buffer state: a sequence of
// receives, each a 16-bit little-endian control word followed by its data.
// Bits 14-0 of the control word are the receive size minus one (cut to the
// free room and, for copied data, to the input left). With bit 15 clear the
// data is copied from the input; with it set the data is the next input byte
// repeated, which lets a few bytes fill the whole 65536-byte buffer.
#include "ipc/packets.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// Ends the run as a finding, naming the broken invariant.
#define FUZZ_CHECK(condition)                                                     \
  do {                                                                            \
    if (!(condition)) {                                                           \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, \
                   #condition);                                                   \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

namespace {

uint32_t LengthField(const uint8_t* header) {
  uint32_t length;
  std::memcpy(&length, header, sizeof length);
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // On the heap and exactly 65536 bytes, so that AddressSanitizer catches any
  // access past the end.
  std::vector<uint8_t> buffer(kIpcMaxPacket);
  std::vector<uint8_t> received;  // the buffer as it was before splitting
  uint32_t count = 0;
  size_t pos = 0;

  while (size - pos >= 2) {
    const uint16_t control = static_cast<uint16_t>(data[pos] | data[pos + 1] << 8);
    pos += 2;
    // Splitting never leaves the buffer full: a receive into no room would
    // complete with 0 bytes, which the core takes for a closed link.
    FUZZ_CHECK(count < kIpcMaxPacket);
    uint32_t bytes = std::min<uint32_t>((control & 0x7FFFu) + 1, kIpcMaxPacket - count);
    if (control & 0x8000u) {
      if (pos == size) break;
      std::memset(buffer.data() + count, data[pos++], bytes);
    } else {
      bytes = static_cast<uint32_t>(std::min<size_t>(bytes, size - pos));
      if (bytes == 0) break;
      std::memcpy(buffer.data() + count, data + pos, bytes);
      pos += bytes;
    }
    count += bytes;
    received.assign(buffer.begin(), buffer.begin() + count);

    uint32_t handed = 0;
    const bool ok = SplitIpcPackets(buffer.data(), count, [&](const uint8_t* packet,
                                                              uint32_t length) {
      FUZZ_CHECK(length >= kIpcHeaderBytes && length <= kIpcMaxPacket);
      // Packets come in order from the front, back to back, and end within
      // what was received.
      FUZZ_CHECK(packet == buffer.data() + handed);
      FUZZ_CHECK(length <= received.size() - handed);
      FUZZ_CHECK(LengthField(packet) == length);
      handed += length;
    });

    if (!ok) {
      FUZZ_CHECK(count == 0);  // a bad header drops everything buffered
      continue;
    }
    // The unhandled rest moved to the front unchanged.
    FUZZ_CHECK(count == received.size() - handed);
    FUZZ_CHECK(std::equal(buffer.begin(), buffer.begin() + count, received.begin() + handed));
    // What stays is less than a header or the start of an incomplete packet
    // with a usable length.
    if (count >= kIpcHeaderBytes) {
      const uint32_t length = LengthField(buffer.data());
      FUZZ_CHECK(length >= kIpcHeaderBytes && length <= kIpcMaxPacket && length > count);
    }
  }
  return 0;
}
