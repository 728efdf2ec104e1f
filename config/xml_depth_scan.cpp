// The depth-limited parse of XmlDocument: a scan of the markup's nesting
// before the library parses it, so that a deeply nested file cannot exhaust
// the stack of the library's recursive parser.
//
// DESIGN (depth scan): TinyXML parses an element by reading its start tag and
// then its content, calling itself for every child element; every other node
// (text, comment, CDATA, declaration, unknown tag) is read flat. The scan below
// keeps that shape but replaces the recursion by a stack of open end tags, and
// reads everything else with the library's own functions (white space, names,
// attributes, the leaf node parsers), so it stops exactly where the parser
// would stop and counts exactly the children the parser would create. Where
// the library reports an error the scan stops and lets the library report it:
// the parser never gets deeper than the scan has checked.
#include "config/xml_persistence.h"
#include "config/testing.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// TinyXML's tokenising functions are protected statics of TiXmlBase; this
// class only makes them reachable. Never instantiated.
class Tokens : public TiXmlBase {
 public:
  using TiXmlBase::IsAlpha;
  using TiXmlBase::ReadName;
  using TiXmlBase::SkipWhiteSpace;
  using TiXmlBase::StringEqual;
};

// The library steps over a multi-byte UTF-8 sequence as a whole, even when the
// text ends inside it, and then reads up to three bytes past the terminating
// zero. Every text is therefore scanned and parsed from a copy followed by that
// many more zeros.
constexpr size_t kOverreadPadding = 3;

std::string PaddedCopy(const char* text) {
  std::string copy(text);
  copy.append(kOverreadPadding, '\0');
  return copy;
}

enum class NodeKind { kNone, kDeclaration, kComment, kCData, kUnknown, kElement };

// TiXmlNode::Identify's decision (protected in the library), without the node.
NodeKind Identify(const char* p, TiXmlEncoding encoding) {
  p = Tokens::SkipWhiteSpace(p, encoding);
  if (!p || *p != '<') return NodeKind::kNone;
  if (Tokens::StringEqual(p, "<?xml", true, encoding)) return NodeKind::kDeclaration;
  if (Tokens::StringEqual(p, "<!--", false, encoding)) return NodeKind::kComment;
  if (Tokens::StringEqual(p, "<![CDATA[", false, encoding)) return NodeKind::kCData;
  if (Tokens::StringEqual(p, "<!", false, encoding)) return NodeKind::kUnknown;
  if (Tokens::IsAlpha(static_cast<unsigned char>(p[1]), encoding) || p[1] == '_') {
    return NodeKind::kElement;
  }
  return NodeKind::kUnknown;
}

// The encoding that TiXmlDocument::Parse adopts after a top-level declaration.
TiXmlEncoding DeclaredEncoding(const TiXmlDeclaration& declaration) {
  const char* name = declaration.Encoding();
  if (*name == 0 || Tokens::StringEqual(name, "UTF-8", true, TIXML_ENCODING_UNKNOWN) ||
      Tokens::StringEqual(name, "UTF8", true, TIXML_ENCODING_UNKNOWN)) {
    return TIXML_ENCODING_UTF8;
  }
  return TIXML_ENCODING_LEGACY;
}

// Reads one node that cannot contain others with the library's parser for it.
// Returns where the library goes on, null after its error. A declaration at
// the top level may set `encoding`, as it does in the library.
const char* ReadLeaf(NodeKind kind, const char* p, bool topLevel, TiXmlEncoding& encoding) {
  switch (kind) {
    case NodeKind::kDeclaration: {
      TiXmlDeclaration declaration;
      p = declaration.Parse(p, nullptr, encoding);
      if (topLevel && encoding == TIXML_ENCODING_UNKNOWN) encoding = DeclaredEncoding(declaration);
      return p;
    }
    case NodeKind::kComment: {
      TiXmlComment comment;
      return comment.Parse(p, nullptr, encoding);
    }
    case NodeKind::kCData: {
      TiXmlText cdata("");
      cdata.SetCDATA(true);
      return cdata.Parse(p, nullptr, encoding);
    }
    default: {
      TiXmlUnknown unknown;
      return unknown.Parse(p, nullptr, encoding);
    }
  }
}

// Reads an element's start tag as TiXmlElement::Parse does. Returns the
// position after it, or null where the library reports an error. For a start
// tag that opens content ("<a ...>", not "<a .../>") the element's end tag
// "</a" is pushed onto `openEndTags`.
const char* ReadStartTag(const char* p, TiXmlEncoding encoding,
                         std::vector<std::string>& openEndTags) {
  p = Tokens::SkipWhiteSpace(p, encoding);
  if (!p || *p != '<') return nullptr;
  std::string name;
  p = Tokens::ReadName(Tokens::SkipWhiteSpace(p + 1, encoding), &name, encoding);
  if (!p || !*p) return nullptr;
  std::vector<std::string> attributeNames;  // the library refuses a repeated name
  for (;;) {
    p = Tokens::SkipWhiteSpace(p, encoding);
    if (!p || !*p) return nullptr;
    if (*p == '/') return p[1] == '>' ? p + 2 : nullptr;
    if (*p == '>') {
      openEndTags.push_back("</" + name);
      return p + 1;
    }
    TiXmlAttribute attribute;
    p = attribute.Parse(p, nullptr, encoding);
    if (!p || !*p) return nullptr;
    if (std::find(attributeNames.begin(), attributeNames.end(), attribute.NameTStr()) !=
        attributeNames.end()) {
      return nullptr;
    }
    attributeNames.push_back(attribute.NameTStr());
  }
}

// The depth scan over a padded text; see XmlDepthWithinLimit.
bool ScanDepth(const char* text, int maxDepth, TiXmlEncoding encoding) {
  if (!*text) return true;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  if (encoding == TIXML_ENCODING_UNKNOWN && bytes[0] == 0xEF && bytes[1] == 0xBB &&
      bytes[2] == 0xBF) {
    encoding = TIXML_ENCODING_UTF8;  // the library's byte-order-mark detection
  }
  // End tags of the elements whose content is being read, innermost last; the
  // size is the level of the innermost one (the root element is level 1).
  std::vector<std::string> openEndTags;
  const char* p = Tokens::SkipWhiteSpace(text, encoding);
  const char* withWhiteSpace = p;  // where the text of an element's content starts
  while (p && *p) {
    if (openEndTags.empty()) {
      // Document level: its nodes are not counted; text ends the parse.
      const NodeKind kind = Identify(p, encoding);
      if (kind == NodeKind::kNone) return true;
      p = kind == NodeKind::kElement ? ReadStartTag(p, encoding, openEndTags)
                                     : ReadLeaf(kind, p, true, encoding);
    } else if (*p != '<') {
      TiXmlText textNode("");
      p = textNode.Parse(TiXmlBase::IsWhiteSpaceCondensed() ? p : withWhiteSpace, nullptr,
                         encoding);
    } else if (Tokens::StringEqual(p, "</", false, encoding)) {
      // The content ends at any end tag; only the open element's own one is valid.
      const std::string& endTag = openEndTags.back();
      if (!Tokens::StringEqual(p, endTag.c_str(), false, encoding)) return true;
      p = Tokens::SkipWhiteSpace(p + endTag.size(), encoding);
      if (!p || *p != '>') return true;
      ++p;
      openEndTags.pop_back();
    } else {
      // A child that begins with '<': counted from the open element up
      // through its ancestors to the document node.
      if (static_cast<int>(openEndTags.size()) + 1 > maxDepth) return false;
      const NodeKind kind = Identify(p, encoding);
      p = kind == NodeKind::kElement ? ReadStartTag(p, encoding, openEndTags)
                                     : ReadLeaf(kind, p, false, encoding);
    }
    withWhiteSpace = p;
    p = Tokens::SkipWhiteSpace(p, encoding);
  }
  return true;
}

}  // namespace

bool XmlDepthWithinLimit(const char* text, int maxDepth, TiXmlEncoding encoding) {
  return !text || ScanDepth(PaddedCopy(text).c_str(), maxDepth, encoding);
}

const char* XmlDocument::Parse(const char* p, TiXmlParsingData* data, TiXmlEncoding encoding) {
  ClearErrorState();
  if (!p) return TiXmlDocument::Parse(p, data, encoding);
  const std::string text = PaddedCopy(p);
  if (!ScanDepth(text.c_str(), maxParseDepth, encoding)) {
    SetErrorState(TIXML_ERROR_NESTED_TOO_DEEPLY, kNestedTooDeeplyText);
    return nullptr;
  }
  const char* end = TiXmlDocument::Parse(text.c_str(), data, encoding);
  if (!end) return nullptr;
  // The caller's pointer, never beyond the caller's terminating zero.
  const size_t length = text.size() - kOverreadPadding;
  return p + std::min(static_cast<size_t>(end - text.c_str()), length);
}
