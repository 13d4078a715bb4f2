// The FetchBridge deliverable: the module over the "curl" engine key.
#include "module/Module.hpp"

TARV_DEFINE_MODULE(FetchBridge, "curl")
