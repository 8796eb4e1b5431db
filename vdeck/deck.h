#pragma once
// The deck's core: a tape and a transport that follows the AV/C tape subunit, answering AV/C
// commands. Time moves only through Tick, one frame period at a time, so tests can drive it.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vdeck/tape.h"

namespace vdeck {

// What a stretch of tape does wrong, from tape frame `frame` on: for `count` frames (damage,
// blank tape, link drops) or for the rest of the tape (breaks and mode changes).
struct TapeFault {
    enum class Kind {
        VideoStatus,   // `blocks` video blocks carry error status `value` (1..15)
        AudioErrors,   // `blocks` audio blocks could not be read
        TimecodeJump,  // the time code moves on by `value` frames (negative: back)
        DateJump,      // the recording date moves on by `value` seconds
        Blank,         // blank tape: no time code, date or sound
        AudioMode,     // the sound is recorded at `value` Hz from here on
        LinkDrop,      // the frames do not reach the computer; the link tells of their loss
    };
    Kind kind;
    std::int64_t frame = 0;
    std::int64_t count = 1;
    std::int64_t value = 0;
    int blocks = 0;
};

// Misbehaviour on request, for tests of the programs that drive a deck.
struct Faults {
    bool noCassette = false;
    bool rejectAll = false;    // every command answered REJECTED
    bool outputInUse = false;  // another connection holds the output plug: its format query
                               // is REJECTED and receivers cannot connect
    bool silent = false;       // AV/C commands get no answer at all
    int slowAnswerMs = 0;      // answers come this late
    bool interim = false;      // transport commands answered INTERIM first
    int dropEvery = 0;         // every n-th output frame is not sent
    int damageEvery = 0;       // every n-th output frame has damaged DIF blocks
    // When given, the only commands the deck implements: (opcode << 8 | operand), with 0x5171
    // for the TIME CODE status query.
    std::optional<std::set<std::uint16_t>> onlyImplemented;
    std::vector<TapeFault> tape;  // at given frames of the tape
};

// The transport as AV/C reports it: the opcode of the last transport command and its operand.
struct TransportState {
    std::uint8_t opcode;   // 0xC2 RECORD, 0xC3 PLAY, 0xC4 WIND
    std::uint8_t operand;  // e.g. 0x75 forward, 0x7D forward pause, 0x60 stop
};

class Deck {
  public:
    // A blank tape is of `blankSystem` until something is recorded onto it.
    Deck(std::unique_ptr<Tape> tape, std::string name,
         platform::dv::System blankSystem = platform::dv::System::Ntsc525);

    const std::string& Name() const { return name_; }
    void SetFaults(const Faults& faults);
    Faults GetFaults() const;

    // The answers to one AV/C command frame, in order (an INTERIM answer comes before the final
    // one); empty when the deck stays silent.
    std::vector<std::vector<std::uint8_t>> HandleAvc(const std::vector<std::uint8_t>& command);
    // How many AV/C commands have reached the deck, answered or not.
    std::uint64_t CommandsHeard() const { return commandsHeard_; }

    // Advances the transport by one frame period. Answers the frame the deck puts out in that
    // period (a picture mode), or nothing (stopped, winding).
    std::optional<std::vector<std::uint8_t>> Tick();
    // Frames the link lost since the last call (tape faults of the LinkDrop kind), to be told
    // to the receivers before the next frame.
    std::int64_t TakeLinkLosses();
    // A frame arriving on the deck's input; recorded at the tape position while recording.
    void ReceiveInput(const std::uint8_t* frame, std::size_t size);

    TransportState State() const;
    // The last transport command accepted, even when the tape has since stopped at an end.
    TransportState LastCommand() const;
    std::int64_t Position() const;
    std::int64_t FrameCount() const;
    // HHMMSSFF in binary-coded decimal for the frame under the heads; nullopt without a tape.
    std::optional<std::uint32_t> Timecode() const;
    // The time of one frame of the tape's system (a blank tape runs at the 525-line rate).
    double FramePeriodSeconds() const;
    bool IsPal() const;

  private:
    std::vector<std::uint8_t> Answer(const std::vector<std::uint8_t>& command, std::uint8_t code);
    std::vector<std::uint8_t> HandleTapeStatus(const std::vector<std::uint8_t>& command);
    std::vector<std::uint8_t> HandleUnit(const std::vector<std::uint8_t>& command);
    std::vector<std::uint8_t> PlugSignalFormat(const std::vector<std::uint8_t>& command);
    bool Implemented(std::uint8_t opcode, std::uint8_t operand) const;
    void ApplyTransport(std::uint8_t opcode, std::uint8_t operand);
    void StopAt(double position);
    std::vector<std::uint8_t> Damage(std::vector<std::uint8_t> frame);
    // The tape faults at `position` written into the frame; false when the link drops it.
    bool ApplyTapeFaults(std::int64_t position, std::vector<std::uint8_t>& frame);
    std::uint32_t TimecodeAt(std::int64_t position) const;
    std::uint32_t TimecodeAnswerAt(std::int64_t position) const;

    mutable std::mutex mutex_;
    std::unique_ptr<Tape> tape_;
    std::string name_;
    platform::dv::System blankSystem_;
    Faults faults_;
    TransportState state_{0xC4, 0x60};
    TransportState lastCommand_{0xC4, 0x60};
    std::atomic<double> position_{0};  // frames; read without the lock for the frame rate
    double speed_ = 0;                 // frames per frame period; negative backwards
    bool showBeforeMoving_ = false;    // play just started: the frame under the head goes first
    bool picture_ = false;
    std::uint64_t outputCount_ = 0;
    std::int64_t linkLosses_ = 0;
    std::atomic<std::uint64_t> commandsHeard_{0};
};

// Frame count -> 0xHHMMSSFF (BCD), NTSC drop-frame counting.
std::uint32_t DropFrameTimecode(std::int64_t frame);
// Frame count -> 0xHHMMSSFF (BCD) at 25 frames a second.
std::uint32_t Pal25Timecode(std::int64_t frame);
// Frame count -> 0xHHMMSSFF (BCD) at 30 frame labels a second, none skipped.
std::uint32_t NonDropTimecode(std::int64_t frame);

}  // namespace vdeck
