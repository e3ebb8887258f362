// Fields of the shared record owned by housekeeping: update flags, temperature log, board temperature.
#pragma once
#include <atomic>
#include <cstdint>

struct HousekeepingFields {};
