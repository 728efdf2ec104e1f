// What tests see of the plugin host beyond the interface the core uses.
#ifndef DVRCORE_PLUGINHOST_TESTING_H
#define DVRCORE_PLUGINHOST_TESTING_H

#include <cstddef>

#include <boost/filesystem/path.hpp>

#include "pluginhost/allocation_registry.h"

// Candidate order as one comparison (discovery.cpp): paths containing the
// marker "Nvrxpr" first, then element by element, byte-wise. SortPluginPaths
// sorts into the same order.
bool PluginPathLess(const boost::filesystem::path& a, const boost::filesystem::path& b);

struct AllocationRegistryTesting {
  // How many holds the registry has, those of a delivery in progress included.
  static size_t HoldCount(const AllocationRegistry& registry) EXCLUDES(registry.mutex_) {
    MutexLock lock(registry.mutex_);
    const size_t inDelivery = registry.delivered_ == 0
                                  ? 0
                                  : size_t{registry.coreHolds_} + size_t{registry.callerHolds_};
    return registry.holds_.size() + inDelivery;
  }
};

#endif  // DVRCORE_PLUGINHOST_TESTING_H
