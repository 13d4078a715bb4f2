// The request options the Python module sends when the caller gives none:
// all nine, at their defaults. The native programs send the same, so that
// they build the same request record as Python does.
#pragma once

#include "browser/Options.hpp"

namespace Tarv {
namespace Bench {

inline Browser::RequestOptions DefaultOptions() {
    namespace O = Browser::Option;
    Browser::RequestOptions options;
    options["snapshot"] = O::Snapshot::Default();
    options["coordinate"] = O::Coordinate::Default();
    options["keep"] = O::Keep::Default();
    options["lumo"] = O::Lumo::Default();
    options["delay"] = O::Delay::Default();
    options["post"] = O::Post::Default();
    options["script"] = O::Script::Default();
    options["cookie"] = O::Cookie::Default();
    options["disable"] = O::Disable::Default();
    return options;
}

}  // namespace Bench
}  // namespace Tarv
