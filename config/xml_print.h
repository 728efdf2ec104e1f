// The two print layouts of XML documents, and words from outside the core
// made fit for an attribute value.
//
// Threads: no shared state; any thread.
#ifndef DVRCORE_CONFIG_XML_PRINT_H
#define DVRCORE_CONFIG_XML_PRINT_H

#include <string>

#include <tinyxml.h>

// A text from outside the core (a file name, a loader error, a plugin's or
// the parent's word) as an attribute value that the printers below write as
// well-formed XML 1.0. Valid UTF-8 is kept as it is, tab, line feed and
// carriage return included (the printer writes them as character
// references). Each byte that is not part of valid UTF-8, and each character
// XML 1.0 cannot hold at all (the other control characters, U+FFFE, U+FFFF),
// becomes U+FFFD.
std::string XmlAttributeText(const std::string& text);

// File layout: four blanks per level, "\n" line breaks.
std::string PrintFileLayout(const TiXmlNode& node);
// Compact layout: no indentation, no line breaks (the events' layout).
std::string PrintCompact(const TiXmlNode& node);

#endif  // DVRCORE_CONFIG_XML_PRINT_H
