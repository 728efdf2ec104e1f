#include "sys/utf8.h"

size_t DecodeUtf8(const char* text, size_t length, uint32_t& codePoint) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  if (length == 0) return 0;
  const unsigned char lead = bytes[0];
  size_t size;
  uint32_t least;  // the smallest code point of that size: anything less is overlong
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2, least = 0x80, codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3, least = 0x800, codePoint = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4, least = 0x10000, codePoint = lead & 0x07u;
  } else {
    return 0;  // a continuation byte, or a lead byte no valid sequence has
  }
  if (length < size) return 0;
  for (size_t i = 1; i < size; i++) {
    if ((bytes[i] & 0xC0u) != 0x80u) return 0;
    codePoint = (codePoint << 6) | (bytes[i] & 0x3Fu);
  }
  if (codePoint < least || codePoint > 0x10FFFF) return 0;
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;
  return size;
}
