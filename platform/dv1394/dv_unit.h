#pragma once
// A DV unit as the device filter sees it: a FireWire camcorder or deck, or a virtual deck.
// AV/C transactions with a bounded time, DV frames in and out, and a signal when the unit
// goes away. Backends list their units; the device filter does not know which it drives.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::dv1394 {

inline constexpr std::size_t kNtscFrameSize = 120000;
inline constexpr std::size_t kPalFrameSize = 144000;
inline constexpr std::size_t kMaxAvcFrame = 512;

// AV/C ctype and response codes.
inline constexpr std::uint8_t kAvcControl = 0x00;
inline constexpr std::uint8_t kAvcStatus = 0x01;
inline constexpr std::uint8_t kAvcSpecificInquiry = 0x02;
inline constexpr std::uint8_t kAvcNotify = 0x03;
inline constexpr std::uint8_t kAvcGeneralInquiry = 0x04;
inline constexpr std::uint8_t kAvcNotImplemented = 0x08;
inline constexpr std::uint8_t kAvcAccepted = 0x09;
inline constexpr std::uint8_t kAvcRejected = 0x0A;
inline constexpr std::uint8_t kAvcInTransition = 0x0B;
inline constexpr std::uint8_t kAvcImplemented = 0x0C;  // also STABLE
inline constexpr std::uint8_t kAvcChanged = 0x0D;
inline constexpr std::uint8_t kAvcInterim = 0x0F;

// Subunit addresses and opcodes.
inline constexpr std::uint8_t kSubunitUnit = 0xFF;
inline constexpr std::uint8_t kSubunitTape = 0x20;  // tape recorder/player, id 0
inline constexpr std::uint8_t kOpUnitInfo = 0x30;
inline constexpr std::uint8_t kOpSubunitInfo = 0x31;
inline constexpr std::uint8_t kOpOutputPlugSignalFormat = 0x18;
inline constexpr std::uint8_t kOpInputPlugSignalFormat = 0x19;
inline constexpr std::uint8_t kOpPlay = 0xC3;
inline constexpr std::uint8_t kOpWind = 0xC4;
inline constexpr std::uint8_t kOpRecord = 0xC2;
inline constexpr std::uint8_t kOpTransportState = 0xD0;
inline constexpr std::uint8_t kOpMediumInfo = 0xDA;
inline constexpr std::uint8_t kOpTimeCode = 0x51;

enum class AvcStatus {
    kAnswered,  // response holds the unit's answer (its code in byte 0)
    kTimedOut,  // no answer within the time
    kLost,      // the unit is gone
    kInvalid,   // the command frame itself was unusable
};

// Receives each DV frame as it came from the unit (never empty), on the unit's receive thread.
using FrameSink = std::function<void(const std::uint8_t* frame, std::size_t size)>;

class DvUnit {
  public:
    virtual ~DvUnit() = default;

    // The unit's own name (model from the configuration ROM, or the virtual deck's name).
    virtual std::string Name() const = 0;
    // Stable identity for the device list (GUID of the node, or socket path).
    virtual std::string Id() const = 0;

    // One AV/C transaction. Waits at most `timeout` for the answer; one INTERIM answer
    // extends the wait once, by the same time.
    virtual AvcStatus Transact(const std::vector<std::uint8_t>& command,
                               std::vector<std::uint8_t>* response,
                               std::chrono::milliseconds timeout) = 0;

    // DV from the unit: frames go to the sink until StopReceive returns.
    virtual bool StartReceive(FrameSink sink) = 0;
    virtual void StopReceive() = 0;

    // DV to the unit: Transmit blocks while the unit is not ready for the next frame (the unit
    // paces it) and answers false once the unit is gone or transmission stopped.
    virtual bool StartTransmit() = 0;
    virtual bool Transmit(const std::uint8_t* frame, std::size_t size) = 0;
    // Waits until every frame handed to Transmit has gone out to the unit. Gives up when the
    // unit takes no frame for `stall`; false then, and when transmission stops or the unit is
    // lost meanwhile.
    virtual bool DrainTransmit(std::chrono::milliseconds stall) = 0;
    virtual void StopTransmit() = 0;

    // Frames the link lost so far while receiving, as far as the unit can tell (gaps in the
    // stream's own counting, frames sent while the stream was broken by a bus reset). It has
    // grown by the frames lost before a frame by the time that frame reaches the sink.
    virtual std::int64_t LinkLosses() const { return 0; }

    // Called once, on any thread, when the unit goes away; later calls fail.
    virtual void SetLostHandler(std::function<void()> handler) = 0;
    virtual bool IsLost() const = 0;
};

using UnitList = std::vector<std::shared_ptr<DvUnit>>;

// AV/C units with a tape subunit on the FireWire buses, in bus order.
UnitList ListFirewireUnits();
// Running virtual decks, sorted by name.
UnitList ListVirtualDecks();

}  // namespace platform::dv1394
