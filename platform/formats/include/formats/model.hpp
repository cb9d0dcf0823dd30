// The model's plain data, which the formats read into and write out of: a machine's description,
// its locations and scenarios. Formats never see a running machine.
#pragma once

#include <machine/description.hpp>
#include <machine/location.hpp>
#include <machine/scenario.hpp>

namespace formats {

using machine::BusDesc;
using machine::CardDesc;
using machine::Event;
using machine::FunctionDesc;
using machine::Location;
using machine::MachineDesc;
using machine::ScenarioDesc;
using machine::Step;
using machine::Window;

}  // namespace formats
