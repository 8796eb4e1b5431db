#pragma once
// The capture object's filter tables and connection plans.

#include "toolkit/graph/direct_show.h"

inline constexpr int kCaptureFilterCount = 9;
inline constexpr int kCaptureFiltersInGraph = 7;  // the mux and the writer join when recording
inline constexpr int kWriteFilterCount = 3;

enum CaptureEntry {
    kEntryDevice = 0,
    kEntrySmartTee = 1,
    kEntryDvSplitter = 2,
    kEntryGrabber = 3,
    kEntryDecoder = 4,
    kEntryVideoRenderer = 5,
    kEntrySoundRenderer = 6,
    kEntryAviMux = 7,
    kEntryFileWriter = 8,
};

enum WriteEntry { kWriteDevice = 0, kWriteReader = 1, kWriteSplitter = 2 };

extern const FilterEntry kCaptureFilters[kCaptureFilterCount];
extern const FilterEntry kWriteFilters[kWriteFilterCount];
extern const ConnectStep kPreviewPlan[15];
extern const ConnectStep kAudioPlan[3];
extern const ConnectStep kRecordPlan[6];
extern const ConnectStep kWritePlan[6];

inline constexpr int kPreviewDeviceStep = 2;  // device "DV A/V Out" to Smart Tee "Input"
