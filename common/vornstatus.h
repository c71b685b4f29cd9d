// Result type of nearly every operation in the agent.
#pragma once

#include <cstdint>

namespace vorn {

// Zero is success, every failure is negative. Callers compare against VORN_OK
// and pass any other value on (or log it); only a few callers look at a
// particular failure value. Marked [[nodiscard]] so a dropped result is a
// compile error rather than a silent bug.
enum [[nodiscard]] VORN_STATUS : int32_t{
    VORN_OK = 0,
    VORN_FAILED = -1,
    VORN_SECURE_CHANNEL_FAILED = -2,
    VORN_ERROR = -3,
    VORN_BUSY = -5,
    VORN_INVALID_ARGUMENT = -8,
    VORN_OUT_OF_MEMORY = -9,
    VORN_NOT_INITIALIZED = -10,
    VORN_CLOUD_ERROR_RESPONSE = -11,
    VORN_CLOUD_RATE_LIMITED = -12,
    VORN_BUFFER_TOO_SMALL = -17,
};

}  // namespace vorn
