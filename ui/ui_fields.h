// Fields of the shared record owned by the display: pages, messages, peak hold, error list.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

struct UiFields {};
