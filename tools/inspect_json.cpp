// The inspector's JSON; see inspect_json.h.
#include "tools/inspect_json.h"

#include <cstdio>

#include "sys/utf8.h"

namespace dvrinspect {

std::string JsonString(std::string_view bytes) {
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    uint32_t codePoint = 0;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else if (size_t length = DecodeUtf8(bytes.data() + i, bytes.size() - i, codePoint);
               length > 0) {
      out.append(bytes, i, length);
      i += length;
      continue;
    } else {
      out += "\\ufffd";
    }
    i++;
  }
  return out + '"';
}

std::string JsonBool(bool value) { return value ? "true" : "false"; }

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

std::string JsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); i++) out += (i ? ", " : "") + values[i];
  return out + "]";
}

}  // namespace dvrinspect
