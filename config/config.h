// Configuration: the core's XML files and the documents it publishes.
//
// What it offers, one header per component:
//   xml_persistence.h  XmlDocument with its parse depth limit, the safe save
//                      and the load that falls back to the backup
//   xml_print.h        the print layouts, attribute text from outside
//   description.h      product.xml and core.xml, the core description, the
//                      memory state and other published documents
#ifndef DVRCORE_CONFIG_CONFIG_H
#define DVRCORE_CONFIG_CONFIG_H

#include "config/description.h"
#include "config/xml_persistence.h"
#include "config/xml_print.h"

#endif  // DVRCORE_CONFIG_CONFIG_H
