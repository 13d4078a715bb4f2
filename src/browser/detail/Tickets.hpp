// Ticket numbering: the hash of the classic combine formula, and the numbers
// of the live clients of this process.
#pragma once

#include <cstdint>
#include <string>

namespace Tarv {
namespace Browser {
namespace detail {

// seed = 0; for each byte (as signed char, widened):
//   seed ^= byte + 0x9e3779b9 + (seed << 6) + (seed >> 2)
std::uint64_t CombineHash(const std::string& text);

// Draws the ticket number for `url` and reserves it for this process: no
// other live client of the process holds the same number.
std::uint32_t ReserveTicketNumber(const std::string& url);
void ReleaseTicketNumber(std::uint32_t number);

// Tickets whose named objects exist now. Whatever is still listed when the
// process exits (a thread was still waiting for its answer while the process
// ended) has its ticket segment, mutex and condition removed then.
void NoteTicketObjects(const std::string& ticket);
void ForgetTicketObjects(const std::string& ticket);

}  // namespace detail
}  // namespace Browser
}  // namespace Tarv
