#include "engines/Engine.hpp"

#include "engines/detail/Engines.hpp"

namespace Tarv {
namespace Server {
namespace {

struct Known {
    const char* name;
    std::unique_ptr<Engine> (*make)();
};

// Every engine the server can run, by the name --engine takes.
constexpr Known kEngines[] = {
    {"script", &detail::MakeScriptEngine},
    {"fetch", &detail::MakeFetchEngine},
    {"render", &detail::MakeRenderEngine},
};

}  // namespace

std::vector<std::string> EngineNames() {
    std::vector<std::string> names;
    for (const Known& known : kEngines) names.emplace_back(known.name);
    return names;
}

std::unique_ptr<Engine> MakeEngine(const std::string& name) {
    for (const Known& known : kEngines)
        if (name == known.name) return known.make();
    std::string list;
    for (const std::string& known : EngineNames()) list += (list.empty() ? "" : ", ") + known;
    throw std::invalid_argument("unknown engine \"" + name + "\" (known: " + list + ")");
}

}  // namespace Server
}  // namespace Tarv
