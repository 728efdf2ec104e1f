// The JSON that dvrcore-inspect writes: strings from any bytes, and the
// small pieces its report is made of.
#ifndef DVRCORE_TOOLS_INSPECT_JSON_H
#define DVRCORE_TOOLS_INSPECT_JSON_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dvrinspect {

// `bytes` as a JSON string. Texts come from plugins and file names, so they
// may hold any bytes: control characters are escaped, and every byte that is
// not part of well-formed UTF-8 becomes U+FFFD, so that any reader takes the
// document. (Escaping such a byte as \u00XX would claim a character it never
// was.)
std::string JsonString(std::string_view bytes);
std::string JsonBool(bool value);
// "0x0000ABCD": eight upper-case hexadecimal digits, as text and JSON write IDs.
std::string Hex(uint32_t value);
// A JSON array of already written values.
std::string JsonArray(const std::vector<std::string>& values);

}  // namespace dvrinspect

#endif  // DVRCORE_TOOLS_INSPECT_JSON_H
