// Makers of the built-in engines, listed by engines/Engine.cpp.
#pragma once

#include <memory>

#include "engines/Engine.hpp"

namespace Tarv {
namespace Server {
namespace detail {

std::unique_ptr<Engine> MakeScriptEngine();
std::unique_ptr<Engine> MakeFetchEngine();
std::unique_ptr<Engine> MakeRenderEngine();

}  // namespace detail
}  // namespace Server
}  // namespace Tarv
