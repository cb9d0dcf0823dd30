// Scenarios more than one test plays.
#pragma once

#include <string_view>

namespace hotp::test {

// Every kind of event once: cards in and out of both slots, a device powered down and up behind
// nested bridges, sleep and wake, a surprise removal and an orderly one.
inline constexpr std::string_view kEveryEventScenario = R"(
name = "every kind of event"
[[event]]
at = "100ms"
insert = "nested bridge card"
slot = "slot 2"
[[event]]
at = "150ms"
insert = "network card"
slot = "slot 1"
[[event]]
at = "200ms"
power = "D3"
device = "slot 2.0/00.0/00.0"
[[event]]
at = "250ms"
power = "D0"
device = "slot 2.0/00.0/00.0"
[[event]]
at = "300ms"
sleep = "S3"
[[event]]
at = "400ms"
wake = true
[[event]]
at = "500ms"
surprise_remove = "slot 2"
[[event]]
at = "600ms"
remove = "slot 1"
[[event]]
at = "700ms"
insert = "display card"
slot = "slot 1"
[[event]]
at = "800ms"
remove = "slot 1"
)";

}  // namespace hotp::test
