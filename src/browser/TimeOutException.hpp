#pragma once

#include <exception>

namespace Tarv {
namespace Browser {

// A wait of the client, the gate or the facade ran out of time.
class TimeOutException : public std::exception {
public:
    ~TimeOutException() override = default;
    const char* what() const noexcept override { return "TIMEOUT"; }
};

}  // namespace Browser
}  // namespace Tarv
