// Fuzz target for the XML loading path: any bytes are parsed by XmlDocument
// (depth limit 100) and by the depth pre-scan alone with a shallow limit, and
// the parsed document is printed in both layouts.
//
// Beyond "no crash, no deep recursion" it checks the pre-scan against the
// library: unless the parse was refused for depth, the tree the library built
// (complete, or partial after a syntax error) must hold no markup deeper than
// the limit, and the shallow pre-scan must refuse exactly when that tree is
// deeper than its own limit. A mismatch traps.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config/xml_persistence.h"
#include "config/testing.h"

namespace {

constexpr int kShallowLimit = 3;

// Deepest level of a node that begins with '<' (all but plain text); the
// root element is level 1. Iterative: the tree is at most ~100 deep here,
// but the check should not depend on that.
int MarkupLevel(const TiXmlDocument& document) {
  int deepest = 0;
  std::vector<std::pair<const TiXmlNode*, int>> pending{{&document, 0}};
  while (!pending.empty()) {
    const auto [node, level] = pending.back();
    pending.pop_back();
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
      const TiXmlText* text = child->ToText();
      if ((!text || text->CDATA()) && level + 1 > deepest) deepest = level + 1;
      pending.emplace_back(child, level + 1);
    }
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parser reads a zero-terminated text, as from a file.
  const std::string text(reinterpret_cast<const char*>(data), size);

  XmlDocument document;
  document.Parse(text.c_str());
  if (document.ErrorId() != TIXML_ERROR_NESTED_TOO_DEEPLY) {
    const int level = MarkupLevel(document);
    if (level > document.maxParseDepth) __builtin_trap();
    if (XmlDepthWithinLimit(text.c_str(), kShallowLimit) != (level <= kShallowLimit)) {
      __builtin_trap();
    }
  }
  PrintFileLayout(document);
  PrintCompact(document);
  return 0;
}
