// Whether a managed segment can be opened without waiting.
#pragma once

namespace Tarv {
namespace Interprocess {

enum class SegmentState {
    Missing,   // no object of that name
    Unready,   // exists, but its creator has not (yet, or ever) initialised it
    Ready,     // initialised (or marked corrupted: opening it fails at once)
};

// Opening a managed segment open-only spins without limit while the object
// is empty or not yet initialised; a creator that died in between leaves it
// so for good. This looks first, without waiting.
SegmentState InspectSegment(const char* name);

}  // namespace Interprocess
}  // namespace Tarv
