// The RenderBridge deliverable: the module over the "webkit" engine key.
#include "module/Module.hpp"

TARV_DEFINE_MODULE(RenderBridge, "webkit")
