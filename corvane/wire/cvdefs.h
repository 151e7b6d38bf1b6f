// Values the client library, the agent and the directory helpers share.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kCvOk = 0;

// Scan positions and iteration handles start at this value, and an iterating
// operation sets them back to it when the listing is complete.
inline constexpr std::uint32_t kCvIterationStart = 0xFFFFFFFFu;
