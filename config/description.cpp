// (being written)
#include "core/dvrcore.h"
void dvrcore::ReadDescriptionFiles() {}
void dvrcore::PublishDescription() {}
void dvrcore::PublishMemoryState() {}
void dvrcore::PublishDocument(const TiXmlDocument&, uint32_t) {}
