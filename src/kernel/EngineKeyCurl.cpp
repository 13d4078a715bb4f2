// The native kernel with the "curl" engine key (as in FetchBridge).
#include "kernel/Engine.hpp"

TARV_DEFINE_ENGINE_KEY("curl")
