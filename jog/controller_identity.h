#pragma once
// How Pelko tells the jog controller from the other HID interfaces, whoever made it: its
// top-level collection is Consumer Control and its feature report carries the LED value. A
// Consumer Control collection alone is not enough: keyboards, receivers and headsets have one
// for their media keys.

#include "platform/hid/hid.h"

namespace pelko {

inline constexpr USAGE kConsumerPage = 0x000C;
inline constexpr USAGE kConsumerControl = 0x0001;
// The LED value: usage 0x0200 of the vendor-defined page 0xFF00, link collection 0.
inline constexpr USAGE kLedPage = 0xFF00;
inline constexpr USAGE kLedUsage = 0x0200;

// True for the parsed descriptor of a jog controller interface.
bool IsJogController(PHIDP_PREPARSED_DATA preparsed);

}  // namespace pelko
