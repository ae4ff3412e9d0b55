// Scripted faults of a simulated device, written as text such as "stall@5"
// (kind, optionally '@' and the index of the request it hits) so a scenario
// can list them. See usb/bench.h for what each kind does.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

enum class FaultKind {
    Unplug,    // vanishes before request k
    Stall,     // request k stalls
    Timeout,   // request k times out without being carried out
    Short,     // first upload at or after k delivers half the bytes
    StatusLen, // first status query at or after k replies with 3 bytes
    BadStatus, // request k fails inside the device, reported by the next status query
    Stuck,     // flash writes from request k on do not take
    NoErase,   // programming only clears bits
    NoOpen,    // the device node cannot be opened
    Busy,      // another program holds its interface: claiming it fails with -EBUSY
    Gone,      // leaves the bus between its arrival event and the pass
    NoAttr,    // its arrival event has unreadable attributes: all, or with @k only the k-th
               // of busnum, devnum, idVendor, idProduct
    SigTerm,   // the program gets SIGTERM just before request k
    SigInt,    // the program gets SIGINT just before request k
};

struct Fault {
    FaultKind kind;
    std::optional<std::size_t> at; // request index; absent: see the kind

    bool operator==(const Fault& other) const { return kind == other.kind && at == other.at; }
};

// Whether the kind may carry a request index ("kind@k").
bool takes_request_index(FaultKind kind);

const char* fault_name(FaultKind kind);

// Parses "kind" or "kind@k"; nothing for unknown kinds, malformed indexes or
// an index on a kind that takes none.
std::optional<Fault> parse_fault(std::string_view text);

std::string to_string(const Fault& fault);

} // namespace sim
