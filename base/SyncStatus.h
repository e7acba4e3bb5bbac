#pragma once

#include <cstdint>

// A path's sync status. Only the two low bits are the sync state; StatusExcludedFlag marks an
// item that the administrator excluded from sync. Answers given out are -1 or the value & 3.
enum : int32_t {
    StatusNone = -1,
    StatusError = 0,
    StatusPending = 1,
    StatusOk = 2,
};

constexpr int32_t StatusStateMask = 3;
constexpr int32_t StatusExcludedFlag = 8;
