// The product and core files and the documents the core publishes about
// itself: reading product.xml and core.xml, rewriting core.xml, and raising
// the core description, the memory state and any other document as events.
//
// DESIGN: ReadDescriptionFiles and PublishDescription run on the main thread
// during start-up; PublishMemoryDocument on the I/O thread. None keeps state:
// every document is a local of the operation that builds it, and
// PublishDocument hands the dispatch a text on its own stack, which the
// dispatch copies for the queue.
#include <cstring>
#include <ctime>
#include <string>

#include "config/description.h"
#include "config/xml_persistence.h"
#include "events/raise.h"

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
  CORE_LOG(kLogNotable, "%s cannot be opened (%s): left as it is, defaults apply", fileName.c_str(),
           document.ErrorDesc());
}

// A failed save's text ("create error 13"), with the system's words for the
// error behind it: the integrator reading the log needs the reason.
std::string SaveFailure(const XmlDocument& document) {
  std::string text = document.ErrorDesc();
  if (document.SystemError() != XmlDocument::kNoSystemError) {
    text += std::string(" (") + std::strerror(document.SystemError()) + ")";
  }
  return text;
}

}  // namespace

void ReadDescriptionFiles(CoreSettings& settings) {
  XmlDocument document;
  std::string leftAlone;
  if (LoadFileOrBackup(document, "product.xml", &leftAlone)) {
    if (TiXmlElement* product = SettingsElement(document, "Product")) {
      if (const char* family = product->Attribute("Family")) settings.productFamily = family;
      if (const char* version = product->Attribute("Version")) settings.coreVersion = version;
    }
  } else if (!leftAlone.empty()) {
    ReportLeftAlone(leftAlone, document);
  }
  if (LoadFileOrBackup(document, "core.xml", &leftAlone)) {
    int throttlingSetting = 0;
    TiXmlElement* memory = SettingsElement(document, "Memory");
    if (memory && memory->QueryIntAttribute("Throttling", &throttlingSetting) == TIXML_SUCCESS) {
      settings.memoryThrottlingEnabled = throttlingSetting != 0;
    }
  } else if (!leftAlone.empty()) {
    ReportLeftAlone(leftAlone, document);
    settings.rewriteCoreFile = false;
  }
}

void PublishDescription(const CoreSettings& settings) {
  XmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("", "", ""));
  auto* root = new TiXmlElement("Nvrx");
  root->SetAttribute("Delta", 0);
  root->LinkEndChild(MemoryElement(settings.memoryThrottlingEnabled));
  document.LinkEndChild(root);
  // The previous file (or its backup) stays, and the next start tries again.
  if (settings.rewriteCoreFile && !SaveFileSafely(document, "core.xml")) {
    CORE_LOG(kLogFailure, "failed to save core.xml: %s", SaveFailure(document).c_str());
  }

  // The product identity goes to the plugins only, never into core.xml.
  auto* product = new TiXmlElement("Product");
  product->SetAttribute("Family", settings.productFamily);
  product->SetAttribute("Version", settings.coreVersion);
  root->LinkEndChild(product);
  PublishDocument(document, EVENT_CONFIG);
}

void PublishMemoryDocument(bool throttling) {
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

void PublishDocument(const TiXmlDocument& document, uint32_t eventType) {
  std::string text = PrintCompact(document);
  auto in = NewRecord<_EventParmsIn>();
  in.dataLength = static_cast<uint32_t>(text.size());  // no terminating zero
  in.data = text.data();
  in.sourceId = kCoreSourceId;
  in.eventType = eventType;
  in.eventFlags = EVENT_FLAGS_CORE_XML;
  auto out = NewRecord<_EventParmsOut>();
  // A refusal (the core is stopping) loses the document; nobody waits for it.
  FlatPluginEvent(&in, &out);
}
