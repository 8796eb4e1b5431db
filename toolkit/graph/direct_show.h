#pragma once
// The graph object every graph-owning object of the toolkit derives from: it holds the filter
// graph manager and turns constant tables (a filter table and connection plans) into a
// connected graph, and takes it down again.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/kernel/sync.h"
#include "platform/media/interfaces.h"

// Thrown by create filters and connect; the owner catches it and maps it to its error code.
struct _tagDXM_EXPECT {
    std::int32_t index;   // the filter entry or plan step that failed
    std::int32_t reason;  // one of the reasons below
    std::int32_t result;  // the platform result, as the reason says
};

inline constexpr std::int32_t kExpectFilterNotCreated = 16;
inline constexpr std::int32_t kExpectPinNotFound = 17;
inline constexpr std::int32_t kExpectConnectionRefused = 18;

inline constexpr std::int32_t kCreateByClass = 0;
inline constexpr std::int32_t kCreateDevice = 1;

inline constexpr std::int32_t kStepConnect = 0;
inline constexpr std::int32_t kStepFindPin = 1;

struct PinEntry {
    const char* name;  // compared exactly with the pin's own name
    IPin* pin;         // filled by the connection plan, owned by the working copy
};

struct FilterEntry {
    std::int32_t kind;  // kCreateByClass, kCreateDevice, anything else: skipped
    union {
        const CLSID* clsid;         // kind 0
        std::intptr_t deviceIndex;  // kind 1: among devices of this friendly name, from 0
    } cls;
    const char* name;     // name in the graph; for kind 1 also the device's friendly name
    IBaseFilter* filter;  // filled by create filters, owned by the working copy
    std::int32_t pinCount;
    PinEntry* pins;
};

struct ConnectStep {
    std::int32_t operation;  // kStepFindPin, kStepConnect, anything else: skipped
    std::int32_t filter;
    std::int32_t pin;
    std::int32_t filter2;  // the input side of a connection
    std::int32_t pin2;
    const AM_MEDIA_TYPE* type;  // connect with this type, or null
};

// Plan steps: find a filter's pin, and connect an output pin to an input pin.
constexpr ConnectStep FindStep(int filter, int pin) {
    return {kStepFindPin, filter, pin, 0, 0, nullptr};
}
constexpr ConnectStep JoinStep(int filter, int pin, int filter2, int pin2) {
    return {kStepConnect, filter, pin, filter2, pin2, nullptr};
}

// The body of a graph event thread: waits on the graph's event handle in slices of 200 ms while
// `running` holds and hands each event (code, first, second parameter) to `react`, then frees
// its parameters. An event another reader took first is skipped.
template <typename React>
void PumpGraphEvents(const std::atomic<bool>& running, HANDLE handle, IMediaEvent* events,
                     React&& react) {
    while (running) {
        if (WaitForSingleObject(handle, 200) != WAIT_OBJECT_0) continue;
        LONG code = 0;
        LONG_PTR param1 = 0, param2 = 0;
        if (events->GetEvent(&code, &param1, &param2, 0) != S_OK) continue;
        react(code, param1, param2);
        events->FreeEventParams(code, param1, param2);
    }
}

// A working copy of a constant filter table: its own entries, each with its own pin array.
// References left in it when it goes are released.
class CFilterTable {
  public:
    // Null when memory is exhausted.
    static std::unique_ptr<CFilterTable> Copy(const FilterEntry* table, int count);
    ~CFilterTable();
    CFilterTable(const CFilterTable&) = delete;
    CFilterTable& operator=(const CFilterTable&) = delete;

    FilterEntry* Entries() { return entries_.data(); }
    int Count() const { return static_cast<int>(entries_.size()); }
    FilterEntry& operator[](int index) { return entries_[index]; }

  private:
    CFilterTable() = default;
    std::vector<FilterEntry> entries_;
    std::vector<std::vector<PinEntry>> pins_;
};

class CDirectShow {
  public:
    CDirectShow() = default;
    virtual ~CDirectShow();
    CDirectShow(const CDirectShow&) = delete;
    CDirectShow& operator=(const CDirectShow&) = delete;

    // 1 when a new graph manager was created; 0 when one is held already or creation failed.
    int CreateGraph();
    int ReleaseGraph();
    static std::unique_ptr<CFilterTable> CopyTable(const FilterEntry* table, int count);
    static int FreeTable(std::unique_ptr<CFilterTable>& table);

    int CreateFilters(FilterEntry* table, int count);  // throws _tagDXM_EXPECT
    int AddFilters(FilterEntry* table, int count);
    int Connect(FilterEntry* table, int count, const ConnectStep* plan,
                int steps);  // throws _tagDXM_EXPECT
    static IPin* FindPin(IBaseFilter* filter, const char* name);
    static IMoniker* FindDevice(const char* friendlyName, int index);
    static int CountDevices(const char* friendlyName);
    void DisconnectAll(FilterEntry* table, int count);
    void Teardown(FilterEntry* table, int count);

    IGraphBuilder* Graph() const { return m_pGraph; }

  protected:
    IGraphBuilder* m_pGraph = nullptr;
    std::int32_t m_nError = 0;

  private:
    // Walks the video input devices of the friendly name; calls visit(moniker, match number)
    // for each match.
    template <typename Visit>
    static void WalkDevices(const char* friendlyName, Visit visit);
};
