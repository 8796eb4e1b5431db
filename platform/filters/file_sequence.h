#pragma once
// A recording as a sequence of files: the AVI Mux asks a splitter, frame by frame, whether the
// next frame begins a new file, and then finishes the file it was writing and has the File
// Writer go over to the next one between two frames, while the graph runs. No frame is lost or
// written twice at the change; every file is a complete AVI file of its own.

#include "platform/media/interfaces.h"

// What the splitter answers about the next frame to be written.
struct VelmoraNextFile {
    // The file this frame begins (allocated with CoTaskMemAlloc, freed by the mux); null when
    // the frame goes into the current file.
    LPOLESTR path;
    // "YYYY-MM-DDTHH:MM:SS" when the new file has a recording date for its 'IDIT' chunk,
    // else empty.
    char recorded[20];
};

// {A3F0C751-2E64-4B8D-8E1F-6D20B94C3E11}
inline constexpr GUID IID_IVelmoraFrameSplitter = {
    0xA3F0C751, 0x2E64, 0x4B8D, {0x8E, 0x1F, 0x6D, 0x20, 0xB9, 0x4C, 0x3E, 0x11}};

// Implemented by the owner of a recording; called by the mux on its streaming thread.
struct IVelmoraFrameSplitter : IUnknown {
    // Every frame of the first input, in order, as it arrives.
    virtual HRESULT STDMETHODCALLTYPE FrameArrived(const BYTE* frame, LONG size) = 0;
    // The oldest frame that arrived and is not written yet is to be written now. The splitter
    // has seen the frames after it that the mux holds back for it (fewer at the end of a run).
    virtual HRESULT STDMETHODCALLTYPE NextFrame(VelmoraNextFile* next) = 0;

  protected:
    ~IVelmoraFrameSplitter() = default;
};
VELMORA_DECLARE_IID(IVelmoraFrameSplitter, IID_IVelmoraFrameSplitter)

// {A3F0C752-2E64-4B8D-8E1F-6D20B94C3E12}
inline constexpr GUID IID_IVelmoraFileSequence = {
    0xA3F0C752, 0x2E64, 0x4B8D, {0x8E, 0x1F, 0x6D, 0x20, 0xB9, 0x4C, 0x3E, 0x12}};

// On the AVI Mux.
struct IVelmoraFileSequence : IUnknown {
    // The splitter asked about every frame from the next run on (null: none), and how many
    // frames the mux holds back so that the splitter sees that many later frames before it
    // answers for one (0 to 16). Only while stopped.
    virtual HRESULT STDMETHODCALLTYPE SetSplitter(IVelmoraFrameSplitter* splitter,
                                                  LONG lookahead) = 0;
    // Writes the frames held back (the splitter answers for each without seeing more) and
    // holds none from then on, so that the run can be stopped with every file split where it
    // should be. S_OK also when nothing was held.
    virtual HRESULT STDMETHODCALLTYPE WriteHeldFrames() = 0;
    // The recording date for the 'IDIT' chunk of the next file begun without a splitter
    // ("YYYY-MM-DDTHH:MM:SS"); null or empty for none.
    virtual HRESULT STDMETHODCALLTYPE SetRecordingDate(LPCSTR recorded) = 0;

  protected:
    ~IVelmoraFileSequence() = default;
};
VELMORA_DECLARE_IID(IVelmoraFileSequence, IID_IVelmoraFileSequence)

// {A3F0C753-2E64-4B8D-8E1F-6D20B94C3E13}
inline constexpr GUID IID_IVelmoraFileSwitch = {
    0xA3F0C753, 0x2E64, 0x4B8D, {0x8E, 0x1F, 0x6D, 0x20, 0xB9, 0x4C, 0x3E, 0x13}};

// On the File Writer.
struct IVelmoraFileSwitch : IUnknown {
    // Between two samples, on the streaming thread of a running or paused writer: closes the
    // open file and opens `path` (created anew, or emptied in overwrite mode) for the samples
    // that follow, their positions counting from its start. The file closed is removed when
    // the writer created it in this run and nothing was ever written into it. On failure the
    // writer has no file and refuses samples. A stopped writer (the graph stops it before the
    // filter upstream) creates the file and names it as its current file, so that the filter
    // upstream can finish what it writes there directly; S_FALSE then.
    virtual HRESULT STDMETHODCALLTYPE SwitchFile(LPCOLESTR path) = 0;

  protected:
    ~IVelmoraFileSwitch() = default;
};
VELMORA_DECLARE_IID(IVelmoraFileSwitch, IID_IVelmoraFileSwitch)
