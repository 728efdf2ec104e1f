// What tests see of the configuration layer beyond the interface the core
// uses.
#ifndef DVRCORE_CONFIG_TESTING_H
#define DVRCORE_CONFIG_TESTING_H

#include <tinyxml.h>

// Markup depth check alone, as XmlDocument::Parse applies it: false when some
// element at level maxDepth or deeper (the root element is level 1) contains a
// child that begins with '<'. True also for text that the library will reject
// for another reason before it gets that deep.
bool XmlDepthWithinLimit(const char* text, int maxDepth,
                         TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING);

#endif  // DVRCORE_CONFIG_TESTING_H
