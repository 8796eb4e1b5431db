#pragma once
// The player's filter table and its connection plan.

#include "toolkit/graph/direct_show.h"

inline constexpr int kPlayerFilterCount = 7;
inline constexpr int kPlayerPlanSteps = 18;

enum PlayerEntry {
    kPlayReader = 0,
    kPlayAviSplitter = 1,
    kPlayDvSplitter = 2,
    kPlayGrabber = 3,
    kPlayDecoder = 4,
    kPlayVideoRenderer = 5,
    kPlaySoundRenderer = 6,
};

extern const FilterEntry kPlayerFilters[kPlayerFilterCount];
extern const ConnectStep kPlayerPlan[kPlayerPlanSteps];
