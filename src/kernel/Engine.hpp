// The per-deliverable constants, all derived from the one engine key that
// each deliverable defines ("webkit" in RenderBridge, "curl" in FetchBridge).
#pragma once

#include <string>

namespace Tarv {
namespace Browser {
namespace Engine {

// Defined once per deliverable (see TARV_DEFINE_ENGINE_KEY).
extern const char* const kKey;

std::string Prefix();             // "Tarv.browser.<key>"
std::string Section();            // "Tarv.browser.<key>.Client": option prefix and INI section
std::string DefaultIniName();     // "Tarv.browser.<key>.ini"
std::string BoundOption();        // "Tarv.browser.<key>.Client.maxThread"
std::string EnvironmentPrefix();  // "TARV_BROWSER_<KEY>"

}  // namespace Engine
}  // namespace Browser
}  // namespace Tarv

#define TARV_DEFINE_ENGINE_KEY(key) \
    namespace Tarv { namespace Browser { namespace Engine { extern const char* const kKey = key; } } }
