// XML persistence on top of TinyXML: the depth-limited parse of XmlDocument
// (xml_depth_scan.cpp), the safe save through ".pending" and ".bak" files, the
// load that falls back to the backup and promotes it (xml_persistence.cpp),
// and the two print layouts (xml_print.h, included).
//
// Threads: no shared state. A document belongs to the thread that builds it.
#ifndef DVRCORE_CONFIG_XML_PERSISTENCE_H
#define DVRCORE_CONFIG_XML_PERSISTENCE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <tinyxml.h>

#include "config/xml_print.h"

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
  // `systemError`: the errno value behind an own error, if one is.
  void SetErrorState(int id, const std::string& description,
                     int systemError = kNoSystemError);
  // The errno value behind the own error (a failed save's), or
  // kNoSystemError: so that the error's number travels as a number, not
  // inside the description's text.
  int SystemError() const { return systemError_; }
  static constexpr int kNoSystemError = -1;
  void ClearErrorState();

  // Deepest element level whose content may hold markup; copied with the
  // document. Parse refuses deeper markup with TIXML_ERROR_NESTED_TOO_DEEPLY.
  int maxParseDepth = kDefaultMaxParseDepth;

 private:
  int ownErrorId_ = 0;      // 0: the library's error state applies
  std::string ownErrorDesc_;
  int systemError_ = kNoSystemError;
};

// Saves through F.pending and F.bak so that F or F.bak always holds a complete
// document; a regular file F that already holds exactly the text is not
// written again (sys/files.h: ReplaceFileSafely). On failure: false, error
// id 2 with the failure text in `document`, and the errno value, when one
// caused it, as its SystemError.
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

// The document in the file layout (PrintFileLayout) into F.pending, made
// anew, which then replaces F by a rename: a reader of F sees the old
// document or the new one, never a part, and a link named F is replaced, not
// followed (sys/files.h: ReplaceFile). Without a backup and without forcing
// the data to the disk, for a file written anew at every start. F is left as
// it is when it already holds that text, as the safe save leaves it. On
// failure F is left as it was and `failure` says why.
bool SaveFileReplacing(const TiXmlDocument& document, const char* fileName,
                       std::string& failure);

#endif  // DVRCORE_CONFIG_XML_PERSISTENCE_H
