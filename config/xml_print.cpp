// The print layouts of XML documents and the attribute text of words from
// outside the core; see xml_print.h.
#include "config/xml_print.h"

#include <cstdint>

#include "sys/utf8.h"

std::string XmlAttributeText(const std::string& text) {
  static const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
  std::string held;
  held.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t c = 0;
    const size_t size = DecodeUtf8(text.data() + i, text.size() - i, c);
    const bool xmlChar =
        c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c != 0xFFFE && c != 0xFFFF);
    if (size == 0 || !xmlChar) {
      held += kReplacement;
      i += size == 0 ? 1 : size;
    } else {
      held.append(text, i, size);
      i += size;
    }
  }
  return held;
}

std::string PrintFileLayout(const TiXmlNode& node) {
  TiXmlPrinter printer;
  printer.SetIndent("    ");
  printer.SetLineBreak("\n");
  node.Accept(&printer);
  return printer.Str();
}

std::string PrintCompact(const TiXmlNode& node) {
  std::string text;
  text << node;
  return text;
}
