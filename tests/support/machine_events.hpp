// Scenario events built in code, as a scenario file gives them, for tests that play a machine.
#pragma once

#include <machine/location.hpp>
#include <machine/scenario.hpp>

#include <stdexcept>
#include <string>

namespace hotp::test {

// An event at a slot, or for a power event at a device; sleep goes to S3. A location that does
// not parse throws, which fails the test.
inline machine::Event makeEvent(machine::EventKind kind, const std::string& where = {},
                                const std::string& card = {}, unsigned deviceState = 0)
{
    machine::Event e;
    e.kind = kind;
    e.card = card;
    e.deviceState = deviceState;
    e.systemState = 3;
    if (!where.empty()) {
        std::string error;
        auto location = machine::parseLocation(where, error);
        if (!location) throw std::runtime_error(where + ": " + error);
        (kind == machine::EventKind::Power ? e.device : e.slot) = *location;
    }
    return e;
}

}  // namespace hotp::test
