// The Python module: the class Result and the functions ConfigLogger, Pop and
// Push over the native facade. One body of code serves both deliverables;
// each defines its module name and engine key with TARV_DEFINE_MODULE.
#pragma once

#include <boost/python/module.hpp>

#include "kernel/Engine.hpp"

namespace Tarv {
namespace Module {

// Registers everything into the current module scope.
void Register();

}  // namespace Module
}  // namespace Tarv

#define TARV_DEFINE_MODULE(name, key) \
    TARV_DEFINE_ENGINE_KEY(key)       \
    BOOST_PYTHON_MODULE(name) { Tarv::Module::Register(); }
