// Fields of the shared record owned by protection, attenuator, temperature and fan.
#pragma once
#include <atomic>
#include <cstdint>

struct ProtectionFields {};
