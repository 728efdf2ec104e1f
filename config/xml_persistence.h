// XML persistence on top of TinyXML: the depth-limited parse of XmlDocument,
// the safe save through ".pending" and ".bak" files, the load that falls back
// to the backup and promotes it, and the two print layouts.
//
// Threads: no shared state. A document belongs to the thread that builds it.
#ifndef DVRCORE_CONFIG_XML_PERSISTENCE_H
#define DVRCORE_CONFIG_XML_PERSISTENCE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <tinyxml.h>

// Error id for markup nested deeper than XmlDocument::maxParseDepth.
constexpr int TIXML_ERROR_NESTED_TOO_DEEPLY = 17;
constexpr const char* kNestedTooDeeplyText =
    "Elements nested too deeply (exceeds the configured maximum parse depth).";
constexpr int kDefaultMaxParseDepth = 100;

// A TinyXML document with a parse depth limit and an error state that can
// also carry the core's own errors (17, and the save failures under id 2).
// Use its Error/ErrorId/ErrorDesc, which hide the library's: the library keeps
// its error fields private and knows only ids up to 16, so an own error sets
// the library's flag with a generic id (LoadFile and Error() through a
// TiXmlDocument reference still see a failure) and keeps id and text here.
class XmlDocument : public TiXmlDocument {
 public:
  XmlDocument() = default;
  XmlDocument(const XmlDocument&) = default;
  XmlDocument& operator=(const XmlDocument&) = default;

  const char* Parse(const char* p, TiXmlParsingData* data = nullptr,
                    TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING) override;

  bool Error() const;
  int ErrorId() const;
  const char* ErrorDesc() const;
  // Replaces the whole error state (the library's and the own one).
  void SetErrorState(int id, const std::string& description);
  void ClearErrorState();

  // Deepest element level whose content may hold markup; copied with the
  // document. Parse refuses deeper markup with TIXML_ERROR_NESTED_TOO_DEEPLY.
  int maxParseDepth = kDefaultMaxParseDepth;

 private:
  int ownErrorId_ = 0;      // 0: the library's error state applies
  std::string ownErrorDesc_;
};

// Saves through F.pending and F.bak so that F or F.bak always holds a complete
// document; a regular file F that already holds exactly the text is not
// written again. On failure: false, error id 2 with the failure text in
// `document`.
bool SaveFileSafely(XmlDocument& document, const char* fileName);

// Loads F, or else F.bak, which then becomes F. False when neither parses.
// A file without a root element is no document: it fails like one that does
// not parse. A file that exists but cannot be opened (no permission, not a
// regular file) ends the attempt with false and both F and F.bak left as they
// are: it may hold the operator's settings. Then `leftAlone` (when given)
// names it and the document's error description says why; otherwise
// `leftAlone` is emptied.
bool LoadFileOrBackup(XmlDocument& document, const char* fileName,
                      std::string* leftAlone = nullptr);

// Writes `text` to F.pending, made anew, which then replaces F by a rename:
// a reader of F sees the old contents or the new, never a part, and a link
// named F is replaced, not followed. Without forcing the data to the disk. On
// failure F is left as it was and `failure` says why. A `mode` of 0 to 07777
// is set on F.pending before the rename, whatever the file creation mask; a
// negative one leaves the mode the mask gives (0600 in the core).
bool ReplaceFile(const char* fileName, const std::string& text, std::string& failure,
                 int mode = -1);

// The document in the file layout (PrintFileLayout) into F.pending, made
// anew, which then replaces F by a rename: a reader of F sees the old
// document or the new one, never a part, and a link named F is replaced, not
// followed. Without a backup and without forcing the data to the disk, for a
// file written anew at every start. F is left as it is when it already holds
// that text, as the safe save leaves it. On failure F is left as it was and
// `failure` says why.
bool SaveFileReplacing(const TiXmlDocument& document, const char* fileName,
                       std::string& failure);

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

#endif  // DVRCORE_CONFIG_XML_PERSISTENCE_H
