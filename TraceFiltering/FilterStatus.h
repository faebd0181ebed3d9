#pragma once
// The three values a filter status takes. Values are those of the
// configuration rules and the client API: 0 disabled, 1 not set, 2 enabled.

#include <cstdint>

enum class Status : uint8_t { Disabled = 0, NotSet = 1, Enabled = 2 };
