// Event masks in the SDK's names; see inspect_masks.h.
#include "tools/inspect_masks.h"

#include <iterator>
#include <vector>

#include "events/events.h"
#include "tools/inspect_json.h"

namespace dvrinspect {

namespace {

// The names plugin authors write, built from the SDK's constants themselves:
// the nine class bits in the order of the masks, then the event flags that
// the core gives a meaning.
struct EventName {
  uint32_t value;
  const char* name;
};
#define DVRCORE_EVENT_NAME(constant) EventName{static_cast<uint32_t>(constant), #constant}
constexpr EventName kEventNames[] = {
    DVRCORE_EVENT_NAME(EVENT_CLASS1),    DVRCORE_EVENT_NAME(EVENT_CLASS2),
    DVRCORE_EVENT_NAME(EVENT_CLASS3),    DVRCORE_EVENT_NAME(EVENT_CLASS4),
    DVRCORE_EVENT_NAME(EVENT_CLASS5),    DVRCORE_EVENT_NAME(EVENT_CLASS6),
    DVRCORE_EVENT_NAME(EVENT_LOG),       DVRCORE_EVENT_NAME(EVENT_CLASS8),
    DVRCORE_EVENT_NAME(EVENT_CLASS9),    DVRCORE_EVENT_NAME(EVENT_FLAG_TEXT),
    DVRCORE_EVENT_NAME(EVENT_FLAG_XML),  DVRCORE_EVENT_NAME(EVENT_FLAG_CORE)};
#undef DVRCORE_EVENT_NAME
constexpr size_t kFirstFlagName = EVENT_CLASS_COUNT;  // the flags follow the classes
static_assert(std::size(kEventNames) > kFirstFlagName);

// Class i is matched against mask i, and the class bits rise with i.
constexpr bool ClassesInMaskOrder() {
  for (size_t i = 1; i < kFirstFlagName; i++) {
    if (kEventNames[i].value <= kEventNames[i - 1].value) return false;
  }
  return true;
}
static_assert(ClassesInMaskOrder(), "the class names are those of masks 1 to 9, in order");

// The two ways an event's flags become the key its class's mask is matched
// against: the SDK's own derivations.
struct DeliveryPath {
  const char* name;
  uint32_t (*key)(uint32_t eventFlags);
};
const DeliveryPath kDeliveryPaths[] = {{"queued", EventQueuedKey},
                                       {"immediate", EventImmediateKey}};

// What one mask selects on one delivery path. Both derivations work bit by
// bit, so a flag bit passes the mask on its own or never; an event is
// selected when each of its flag bits passes.
struct MaskSelection {
  uint32_t flags = 0;     // the flag bits that pass, among those that count
  uint32_t counting = 0;  // the flag bits the key keeps (the others never matter)
  uint32_t unused = 0;    // the mask's bits that no key on this path ever has

  bool Any() const { return flags == counting; }
};

MaskSelection SelectionOf(uint32_t mask, const DeliveryPath& path) {
  MaskSelection selection;
  selection.unused = mask;
  for (unsigned bit = 0; bit < 32; bit++) {
    const uint32_t key = path.key(uint32_t{1} << bit);
    if (key == 0) continue;
    selection.counting |= uint32_t{1} << bit;
    selection.unused &= ~key;
    if ((key & ~mask) == 0) selection.flags |= uint32_t{1} << bit;
  }
  return selection;
}

// The SDK names of the flag bits in `flags`, then what is left as one
// hexadecimal value.
std::vector<std::string> FlagNames(uint32_t flags) {
  std::vector<std::string> names;
  for (size_t i = kFirstFlagName; i < std::size(kEventNames); i++) {
    if ((flags & kEventNames[i].value) == kEventNames[i].value) {
      names.push_back(kEventNames[i].name);
      flags &= ~kEventNames[i].value;
    }
  }
  if (flags != 0) names.push_back(Hex(flags));
  return names;
}

// "queued: flags within EVENT_FLAG_TEXT|0x00000100 (mask bits 0x01000000 in no key)"
std::string SelectionText(const DeliveryPath& path, const MaskSelection& selection) {
  std::string text = std::string(path.name) + ": ";
  if (selection.Any()) return text + "any flags";
  if (selection.flags == 0) {
    text += "no flags";
  } else {
    text += "flags within ";
    const std::vector<std::string> names = FlagNames(selection.flags);
    for (size_t i = 0; i < names.size(); i++) text += (i ? "|" : "") + names[i];
  }
  if (selection.unused != 0) text += " (mask bits " + Hex(selection.unused) + " in no key)";
  return text;
}

std::string SelectionJson(const MaskSelection& selection) {
  std::vector<std::string> names;
  for (const std::string& name : FlagNames(selection.flags)) names.push_back(JsonString(name));
  return "{\"any\": " + JsonBool(selection.Any()) + ", \"flags\": " +
         std::to_string(selection.flags) + ", \"flagsHex\": \"" + Hex(selection.flags) +
         "\", \"flagNames\": " + JsonArray(names) + ", \"unusedBits\": " +
         std::to_string(selection.unused) + ", \"unusedBitsHex\": \"" + Hex(selection.unused) +
         "\"}";
}

}  // namespace

MaskDescription DescribeMask(size_t index, uint32_t mask) {
  MaskDescription description;
  description.line = "  mask " + std::to_string(index + 1) + " " + kEventNames[index].name +
                     " " + Hex(mask) + ":";
  description.json = "{\"mask\": " + std::to_string(index + 1) + ", \"class\": \"" +
                     kEventNames[index].name + "\", \"classBit\": " +
                     std::to_string(kEventNames[index].value) + ", \"value\": " +
                     std::to_string(mask) + ", \"hex\": \"" + Hex(mask) + "\"";
  for (size_t p = 0; p < std::size(kDeliveryPaths); p++) {
    const MaskSelection selection = SelectionOf(mask, kDeliveryPaths[p]);
    description.line += (p ? "; " : " ") + SelectionText(kDeliveryPaths[p], selection);
    description.json +=
        std::string(", \"") + kDeliveryPaths[p].name + "\": " + SelectionJson(selection);
  }
  description.json += "}";
  return description;
}

}  // namespace dvrinspect
