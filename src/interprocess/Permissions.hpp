// Access modes of the named objects this system creates. Fetched pages,
// cookies and POST bodies pass through them: by default only their owner may
// open them.
#pragma once

#include <boost/interprocess/permissions.hpp>

namespace Tarv {
namespace Interprocess {

constexpr unsigned kOwnerOnlyMode = 0600;
constexpr unsigned kOwnerAndGroupMode = 0660;

inline boost::interprocess::permissions OwnerOnly() { return boost::interprocess::permissions(kOwnerOnlyMode); }

}  // namespace Interprocess
}  // namespace Tarv
