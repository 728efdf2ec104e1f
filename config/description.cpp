// The product and core files and the documents the core publishes about
// itself: reading product.xml and core.xml, rewriting core.xml, and raising
// the core description, the memory state and any other document as events.
//
// DESIGN: ReadDescriptionFiles and PublishDescription run on the main thread
// during start-up, while nothing else writes the members they use.
// PublishMemoryState runs on the I/O thread and reads only `throttling`,
// which that thread writes. Every document is a local of the operation that
// builds it; PublishDocument hands the dispatch a text on its own stack, which
// the dispatch copies for the queue.
#include <cstring>
#include <ctime>
#include <string>

#include "config/config.h"
#include "core/dvrcore.h"

namespace {

// The core's ID as documents write it: a signed 32-bit number.
const int kCoreDocumentId = static_cast<int32_t>(kCoreSourceId);

TiXmlElement* MemoryElement(bool throttling) {
  auto* memory = new TiXmlElement("Memory");
  memory->SetAttribute("ID", kCoreDocumentId);
  memory->SetAttribute("Throttling", throttling ? 1 : 0);
  return memory;
}

// The first child element `name` directly under the document's root element.
TiXmlElement* SettingsElement(XmlDocument& document, const char* name) {
  return TiXmlHandle(document.RootElement()).FirstChildElement(name).ToElement();
}

// A file the core may not read is not the core's to replace: it may hold
// what the operator set, readable by the user the core ran as before.
void ReportLeftAlone(const std::string& fileName, const XmlDocument& document) {
  CORE_LOG(50, "%s cannot be opened (%s): left as it is, defaults apply", fileName.c_str(),
           document.ErrorDesc());
}

}  // namespace

void dvrcore::ReadDescriptionFiles() {
  XmlDocument document;
  std::string leftAlone;
  if (LoadFileOrBackup(document, "product.xml", &leftAlone)) {
    if (TiXmlElement* product = SettingsElement(document, "Product")) {
      if (const char* family = product->Attribute("Family")) productFamily = family;
      if (const char* version = product->Attribute("Version")) coreVersion = version;
    }
  } else if (!leftAlone.empty()) {
    ReportLeftAlone(leftAlone, document);
  }
  if (LoadFileOrBackup(document, "core.xml", &leftAlone)) {
    int throttlingSetting = 0;
    TiXmlElement* memory = SettingsElement(document, "Memory");
    if (memory && memory->QueryIntAttribute("Throttling", &throttlingSetting) == TIXML_SUCCESS) {
      memoryThrottlingEnabled = throttlingSetting != 0;
    }
  } else if (!leftAlone.empty()) {
    ReportLeftAlone(leftAlone, document);
    rewriteCoreFile = false;
  }
}

void dvrcore::PublishDescription() {
  XmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("", "", ""));
  auto* root = new TiXmlElement("Nvrx");
  root->SetAttribute("Delta", 0);
  root->LinkEndChild(MemoryElement(memoryThrottlingEnabled));
  document.LinkEndChild(root);
  // A failed save is not reported: the previous file (or its backup) stays,
  // and the next start tries again.
  if (rewriteCoreFile) SaveFileSafely(document, "core.xml");

  // The product identity goes to the plugins only, never into core.xml.
  auto* product = new TiXmlElement("Product");
  product->SetAttribute("Family", productFamily);
  product->SetAttribute("Version", coreVersion);
  root->LinkEndChild(product);
  PublishDocument(document, EVENT_CONFIG);
}

// I/O thread (the scheduler's tick).
void dvrcore::PublishMemoryState() {
  TiXmlElement* memory = MemoryElement(throttling);
  // time_t as text, so that a 64-bit time is not cut to an int.
  memory->SetAttribute("Time", std::to_string(static_cast<long long>(time(nullptr))));
  auto* root = new TiXmlElement("Nvrx");
  root->LinkEndChild(memory);
  XmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("", "", ""));
  document.LinkEndChild(root);
  PublishDocument(document, EVENT_CLASS3);
}

// Any thread.
void dvrcore::PublishDocument(const TiXmlDocument& document, uint32_t eventType) {
  std::string text = PrintCompact(document);
  _EventParmsIn in;
  std::memset(&in, 0, sizeof(in));
  in.size = sizeof(in);
  in.version = 1;
  in.dataLength = static_cast<uint32_t>(text.size());  // no terminating zero
  in.data = text.data();
  in.sourceId = kCoreSourceId;
  in.eventType = eventType;
  in.eventFlags = EVENT_FLAGS_CORE_XML;
  _EventParmsOut out;
  std::memset(&out, 0, sizeof(out));
  out.size = sizeof(out);
  out.version = 1;
  // A refusal (the core is stopping) loses the document; nobody waits for it.
  PluginEvent(&in, &out);
}
