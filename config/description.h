// The product and core files, and the documents the core publishes about
// itself.
#ifndef DVRCORE_CONFIG_DESCRIPTION_H
#define DVRCORE_CONFIG_DESCRIPTION_H

#include <cstdint>
#include <string>

#include <tinyxml.h>

// What the core takes from product.xml and core.xml.
struct CoreSettings {
  std::string productFamily = "Brevantoria";
  std::string coreVersion;               // the built-in one unless product.xml names one
  bool memoryThrottlingEnabled = true;
  bool rewriteCoreFile = true;           // false: core.xml cannot be opened, left alone
};

// Main thread, start-up: reads product.xml and core.xml (each falling back
// to its backup) into `settings`; what a file does not say keeps its value.
void ReadDescriptionFiles(CoreSettings& settings);
// Main thread, end of start-up: rewrites core.xml (unless rewriteCoreFile is
// false) and publishes the core description with the product identity.
void PublishDescription(const CoreSettings& settings);
// Publishes the memory-throttling state with the current time.
void PublishMemoryDocument(bool throttling);
// Any thread: raises `document`, in the compact layout, as an event of
// `eventType` from the core.
void PublishDocument(const TiXmlDocument& document, uint32_t eventType);

#endif  // DVRCORE_CONFIG_DESCRIPTION_H
