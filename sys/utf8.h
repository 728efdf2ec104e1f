// UTF-8 as the core checks it wherever a text from outside (a file name, a
// plugin's word, the parent's) goes into something a strict reader takes:
// the log, plugins.xml, the figures file, the inspector's JSON, thread names.
#ifndef DVRCORE_SYS_UTF8_H
#define DVRCORE_SYS_UTF8_H

#include <cstddef>
#include <cstdint>

// The length of the one character's UTF-8 sequence at `text` (at most
// `length` bytes), its code point in `codePoint`; 0 when the bytes there are
// not well-formed UTF-8: a stray or missing continuation byte, an overlong
// form, a surrogate, a code point above U+10FFFF.
size_t DecodeUtf8(const char* text, size_t length, uint32_t& codePoint);

#endif  // DVRCORE_SYS_UTF8_H
