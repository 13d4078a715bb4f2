// Names, sizes and time limits of the shared-memory protocol between the
// client module and the browser server. Each value lives here only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Tarv {
namespace Browser {
namespace Protocol {

// Named objects of a server with process id P ("%ld" receives P).
constexpr const char* kReadyMutexFormat = "Tarv_Browser_%ld_Ready";       // named_mutex, never locked by clients
constexpr const char* kRequestSegmentFormat = "Tarv_Browser_%ld_Request";  // segment; the request channel has its name

// A request's ticket: "Tarv_<server pid>_Ticket_<unsigned 32-bit number>". It
// names the ticket segment, the result channel inside it and the option map.
constexpr const char* kTicketFormat = "Tarv_%ld_Ticket_%ld";

// Size of every ticket segment; the server's result must fit into it.
constexpr std::size_t kTicketSegmentSize = 5033164;

}  // namespace Protocol
}  // namespace Browser
}  // namespace Tarv
