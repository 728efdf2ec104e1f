// Event masks as dvrcore-inspect shows them: spelt in the SDK's names, with
// what each selects on the queued and the immediate delivery path.
#ifndef DVRCORE_TOOLS_INSPECT_MASKS_H
#define DVRCORE_TOOLS_INSPECT_MASKS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace dvrinspect {

// One mask of a self-description in both forms of the report.
struct MaskDescription {
  std::string line;  // "  mask 1 EVENT_CLASS1 0x...: queued: ...; immediate: ..."
  std::string json;  // its object in the "masks" array
};

// Mask `index` (0 to EVENT_CLASS_COUNT - 1, matched against the class of
// the same index) holding `mask`.
MaskDescription DescribeMask(size_t index, uint32_t mask);

}  // namespace dvrinspect

#endif  // DVRCORE_TOOLS_INSPECT_MASKS_H
