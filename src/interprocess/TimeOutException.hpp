#pragma once

#include <exception>

namespace Tarv {
namespace Interprocess {

// A deadline of the channel layer passed. Keeps std::exception's what().
class TimeOutException : public std::exception {
public:
    ~TimeOutException() override = default;
};

}  // namespace Interprocess
}  // namespace Tarv
