#include "kernel/Engine.hpp"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/replace.hpp>

namespace Tarv {
namespace Browser {
namespace Engine {

std::string Prefix() { return std::string("Tarv.browser.") + kKey; }
std::string Section() { return Prefix() + ".Client"; }
std::string DefaultIniName() { return Prefix() + ".ini"; }
std::string BoundOption() { return Section() + ".maxThread"; }

std::string EnvironmentPrefix() {
    std::string prefix = boost::algorithm::to_upper_copy(Prefix());
    boost::algorithm::replace_all(prefix, ".", "_");
    return prefix;
}

}  // namespace Engine
}  // namespace Browser
}  // namespace Tarv
