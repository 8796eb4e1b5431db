#pragma once
// The file reader's filter tables and connection plans.

#include "toolkit/graph/direct_show.h"

inline constexpr int kAccessFilterCount = 11;
inline constexpr int kAccessPlanSteps = 24;

enum AccessEntry {
    kAccessReader = 0,
    kAccessAviSplitter = 1,
    kAccessDvGrabber = 2,
    kAccessDvSplitter = 3,
    kAccessDecoder = 4,
    kAccessVideoGrabber = 5,
    kAccessVideoNull = 6,
    kAccessAudioGrabber = 7,
    kAccessAudioNull = 8,
    kAccessVideoRenderer = 9,
    kAccessSoundRenderer = 10,
};

extern const FilterEntry kAccessFilters[kAccessFilterCount];

// Three steps a connection (find the output pin, find the input pin, connect), in this order:
// reader -> AVI splitter -> DV-stream grabber -> DV splitter -> decoder -> video grabber ->
// null renderer, and DV splitter audio -> audio grabber -> null renderer.
extern const ConnectStep kAccessPlan[kAccessPlanSteps];

inline constexpr int kPlanDecoderToGrabber = 12;  // first step of the decoded-picture connection
inline constexpr int kPlanAudioStart = 18;        // first step of the audio connections
inline constexpr int kPlanStreamEnd = 9;          // steps that bring the DV stream to the splitter

inline constexpr int kRenderFilterCount = 6;
inline constexpr int kRenderPlanSteps = 15;

enum RenderEntry {
    kRenderVideoBridge = 0,
    kRenderAudioBridge = 1,  // named "Image" in the graph, but it carries the audio
    kRenderEncoder = 2,
    kRenderDvMuxer = 3,
    kRenderAviMux = 4,
    kRenderWriter = 5,
};

extern const FilterEntry kRenderFilters[kRenderFilterCount];
// Video bridge -> DV encoder -> DV muxer, audio bridge -> DV muxer -> AVI mux -> file writer.
extern const ConnectStep kRenderPlan[kRenderPlanSteps];
