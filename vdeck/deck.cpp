#include "vdeck/deck.h"

#include <utility>

#include "vdeck/tape_faults.h"

#include <chrono>
#include <cmath>
#include <thread>

#include "platform/dv/subcode.h"
#include "platform/dv1394/dv_unit.h"

namespace vdeck {

using namespace platform::dv1394;

namespace {

constexpr std::uint8_t kSmallDvCassette = 0x32;
constexpr std::uint8_t kNoCassette = 0x60;
constexpr double kWindSpeed = 30.0;

// Speeds of PLAY operands 0x31..0x3F (forward) and 0x41..0x4F (reverse), slowest to fastest.
constexpr double kVariableSpeeds[15] = {0.1, 0.125, 1.0 / 6, 0.2, 0.25, 1.0 / 3, 0.5, 1.0,
                                        1.5, 2.0,   3.0,     4.0, 5.0,  7.0,     10.0};

std::uint8_t Bcd(int value) {
    return static_cast<std::uint8_t>((value / 10) << 4 | (value % 10));
}

// Frame labels counted at `rate` labels a second, as HHMMSSFF in binary-coded decimal.
std::uint32_t CountedTimecode(std::int64_t label, int rate) {
    const int frames = static_cast<int>(label % rate);
    const int seconds = static_cast<int>(label / rate % 60);
    const int minutes = static_cast<int>(label / (rate * 60) % 60);
    const int hours = static_cast<int>(label / (rate * 3600) % 24);
    return static_cast<std::uint32_t>(Bcd(hours)) << 24 | Bcd(minutes) << 16 | Bcd(seconds) << 8 |
           Bcd(frames);
}

}  // namespace

std::uint32_t DropFrameTimecode(std::int64_t frame) {
    // 29.97 drop-frame: frame numbers 0 and 1 are skipped at each minute except every tenth.
    const std::int64_t perTenMinutes = 17982, perMinute = 1798;
    std::int64_t tens = frame / perTenMinutes;
    std::int64_t rest = frame % perTenMinutes;
    std::int64_t skipped = 18 * tens + (rest > 1 ? 2 * ((rest - 2) / perMinute) : 0);
    return CountedTimecode(frame + skipped, 30);
}

std::uint32_t Pal25Timecode(std::int64_t frame) {
    return CountedTimecode(frame, 25);
}

std::uint32_t NonDropTimecode(std::int64_t frame) {
    return CountedTimecode(frame, 30);
}

// The system of the frame under the heads.
bool Deck::IsPal() const {
    auto system = tape_ ? tape_->SystemAt(std::int64_t(position_.load())) : std::nullopt;
    return system.value_or(blankSystem_) == platform::dv::System::Pal625;
}

double Deck::FramePeriodSeconds() const {
    return IsPal() ? 1.0 / 25.0 : 1001.0 / 30000.0;
}

Deck::Deck(std::unique_ptr<Tape> tape, std::string name, platform::dv::System blankSystem)
    : tape_(std::move(tape)), name_(std::move(name)), blankSystem_(blankSystem) {}

void Deck::SetFaults(const Faults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

Faults Deck::GetFaults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

TransportState Deck::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::int64_t Deck::Position() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::int64_t>(position_);
}

std::int64_t Deck::FrameCount() const {
    return tape_ ? tape_->FrameCount() : 0;
}

std::optional<std::uint32_t> Deck::Timecode() const {
    std::lock_guard lock(mutex_);
    if (!tape_ || faults_.noCassette) return std::nullopt;
    return TimecodeAt(static_cast<std::int64_t>(position_));
}

std::uint32_t Deck::TimecodeAt(std::int64_t position) const {
    // The frame's own subcode time code, as a camcorder recorded it; else counted from the start.
    std::vector<std::uint8_t> frame;
    if (tape_->ReadFrame(position, &frame)) {
        if (auto pack = platform::dv::FindSubcodePack(frame.data(), frame.size(),
                                                      platform::dv::kPackTimecode))
            return platform::dv::TimecodeFromPack(*pack);
    }
    return IsPal() ? Pal25Timecode(position) : DropFrameTimecode(position);
}

std::uint32_t Deck::TimecodeAnswerAt(std::int64_t position) const {
    // A unit answers the time code as the tape holds it, flag bits included (drop frame above
    // the frame digits of a 525-line tape).
    std::vector<std::uint8_t> frame;
    if (tape_->ReadFrame(position, &frame)) {
        if (auto pack = platform::dv::FindSubcodePack(frame.data(), frame.size(),
                                                      platform::dv::kPackTimecode))
            return *pack;
    }
    return IsPal() ? Pal25Timecode(position) : DropFrameTimecode(position) | 0x40;
}

std::vector<std::uint8_t> Deck::Answer(const std::vector<std::uint8_t>& command,
                                       std::uint8_t code) {
    std::vector<std::uint8_t> response = command;
    response[0] = code;
    return response;
}

bool Deck::Implemented(std::uint8_t opcode, std::uint8_t operand) const {
    if (faults_.onlyImplemented) {
        if (opcode == kOpTransportState || opcode == kOpMediumInfo) return true;
        return faults_.onlyImplemented->count(static_cast<std::uint16_t>(opcode << 8 | operand)) >
               0;
    }
    switch (opcode) {
        case kOpPlay:
            return operand == 0x30 || operand == 0x40 || (operand >= 0x31 && operand <= 0x3F) ||
                   (operand >= 0x41 && operand <= 0x4F) || operand == 0x65 || operand == 0x6D ||
                   operand == 0x75 || operand == 0x7D;
        case kOpWind:
            return operand == 0x60 || operand == 0x75 || operand == 0x65 || operand == 0x45;
        case kOpRecord:
            return operand == 0x75 || operand == 0x7D;
        case kOpTransportState:
        case kOpMediumInfo:
        case kOpTimeCode:
            return true;
        default:
            return false;
    }
}

void Deck::StopAt(double position) {
    position_ = position;
    speed_ = 0;
    picture_ = false;
    state_ = {kOpWind, 0x60};
}

void Deck::ApplyTransport(std::uint8_t opcode, std::uint8_t operand) {
    showBeforeMoving_ = false;
    state_ = {opcode, operand};
    lastCommand_ = state_;
    picture_ = opcode == kOpPlay || opcode == kOpRecord;
    const double last = std::max<double>(0, static_cast<double>(tape_->FrameCount()) - 1);
    if (opcode == kOpWind) {
        speed_ = operand == 0x75 ? kWindSpeed : operand == 0x60 ? 0 : -kWindSpeed;
        if (operand == 0x60) picture_ = false;
        return;
    }
    if (opcode == kOpRecord) {
        speed_ = 0;  // the input moves the tape while recording
        return;
    }
    switch (operand) {
        case 0x75:
            // From a standstill, play begins with the frame at the position.
            showBeforeMoving_ = speed_ == 0;
            speed_ = 1;
            break;
        case 0x65:
            speed_ = -1;
            break;
        case 0x7D:
        case 0x6D:
            speed_ = 0;
            break;
        case 0x30:
            position_ = std::min(last, std::floor(position_) + 1);
            speed_ = 0;
            state_ = {kOpPlay, 0x7D};
            break;
        case 0x40:
            position_ = std::max(0.0, std::floor(position_) - 1);
            speed_ = 0;
            state_ = {kOpPlay, 0x7D};
            break;
        default:
            if (operand >= 0x31 && operand <= 0x3F) speed_ = kVariableSpeeds[operand - 0x31];
            if (operand >= 0x41 && operand <= 0x4F) speed_ = -kVariableSpeeds[operand - 0x41];
    }
}

std::vector<std::uint8_t> Deck::HandleUnit(const std::vector<std::uint8_t>& command) {
    std::uint8_t opcode = command[2];
    if (command[0] == kAvcStatus &&
        (opcode == kOpOutputPlugSignalFormat || opcode == kOpInputPlugSignalFormat))
        return PlugSignalFormat(command);
    if (command[0] != kAvcStatus || (opcode != kOpUnitInfo && opcode != kOpSubunitInfo))
        return Answer(command, kAvcNotImplemented);
    std::vector<std::uint8_t> response = Answer(command, kAvcImplemented);
    response.resize(std::max<std::size_t>(response.size(), 8), 0xFF);
    if (opcode == kOpUnitInfo) {
        response[3] = 0x07;
        response[4] = 4 << 3;  // unit type 4: tape recorder/player, unit 0
        response[5] = response[6] = response[7] = 0x00;  // company id
    } else {
        response[3] = 0x07;
        response[4] = 4 << 3;  // one tape recorder/player subunit, max id 0
        response[5] = response[6] = response[7] = 0xFF;
    }
    return response;
}

// Plug 0 of either direction carries SD DV of the deck's system: FMT 0x80 (DVCR), FDF 0x00 for
// 525-60 and 0x80 (the 50/60 bit) for 625-50.
std::vector<std::uint8_t> Deck::PlugSignalFormat(const std::vector<std::uint8_t>& command) {
    if (faults_.outputInUse && command[2] == kOpOutputPlugSignalFormat)
        return Answer(command, kAvcRejected);
    std::vector<std::uint8_t> response = Answer(command, kAvcImplemented);
    response.resize(std::max<std::size_t>(response.size(), 8), 0xFF);
    response[3] = 0x00;
    response[4] = 0x80;
    response[5] = IsPal() ? 0x80 : 0x00;
    response[6] = response[7] = 0xFF;
    return response;
}

std::vector<std::uint8_t> Deck::HandleTapeStatus(const std::vector<std::uint8_t>& command) {
    std::uint8_t opcode = command[2];
    std::vector<std::uint8_t> response = Answer(command, kAvcImplemented);
    if (opcode == kOpTransportState) {
        response.resize(std::max<std::size_t>(response.size(), 4), 0xFF);
        response[2] = state_.opcode;
        response[3] = state_.operand;
    } else if (opcode == kOpMediumInfo) {
        response.resize(std::max<std::size_t>(response.size(), 5), 0xFF);
        response[3] = faults_.noCassette ? kNoCassette : kSmallDvCassette;
        response[4] = faults_.noCassette ? 0x7F : 0x30;  // tape grade, not write-protected
    } else if (opcode == kOpTimeCode && command.size() >= 4 && command[3] == 0x71 &&
               Implemented(kOpTimeCode, 0x71)) {
        response.resize(std::max<std::size_t>(response.size(), 8), 0xFF);
        std::uint32_t bcd = faults_.noCassette
                                ? 0xFFFFFFFF
                                : TimecodeAnswerAt(static_cast<std::int64_t>(position_));
        response[4] = static_cast<std::uint8_t>(bcd);
        response[5] = static_cast<std::uint8_t>(bcd >> 8);
        response[6] = static_cast<std::uint8_t>(bcd >> 16);
        response[7] = static_cast<std::uint8_t>(bcd >> 24);
    } else {
        return Answer(command, kAvcNotImplemented);
    }
    return response;
}

TransportState Deck::LastCommand() const {
    std::lock_guard lock(mutex_);
    return lastCommand_;
}

std::vector<std::vector<std::uint8_t>> Deck::HandleAvc(const std::vector<std::uint8_t>& command) {
    ++commandsHeard_;
    Faults faults = GetFaults();
    if (faults.silent) return {};
    if (faults.slowAnswerMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(faults.slowAnswerMs));
    if (command.size() < 3 || command.size() > kMaxAvcFrame) {
        std::vector<std::uint8_t> padded = command;
        padded.resize(std::max<std::size_t>(3, std::min(padded.size(), kMaxAvcFrame)), 0);
        return {Answer(padded, kAvcNotImplemented)};
    }
    std::lock_guard lock(mutex_);
    if (faults_.rejectAll) return {Answer(command, kAvcRejected)};
    std::uint8_t ctype = command[0], subunit = command[1], opcode = command[2];
    if (subunit == kSubunitUnit) return {HandleUnit(command)};
    if (subunit != kSubunitTape) return {Answer(command, kAvcNotImplemented)};
    std::uint8_t operand = command.size() > 3 ? command[3] : 0;

    if (ctype == kAvcSpecificInquiry)
        return {
            Answer(command, Implemented(opcode, operand) ? kAvcImplemented : kAvcNotImplemented)};
    if (ctype == kAvcStatus) return {HandleTapeStatus(command)};
    if (ctype != kAvcControl || command.size() < 4 || !Implemented(opcode, operand) ||
        opcode == kOpTransportState || opcode == kOpMediumInfo || opcode == kOpTimeCode)
        return {Answer(command, kAvcNotImplemented)};
    if (faults_.noCassette || !tape_) return {Answer(command, kAvcRejected)};
    ApplyTransport(opcode, operand);
    if (faults_.interim) return {Answer(command, kAvcInterim), Answer(command, kAvcAccepted)};
    return {Answer(command, kAvcAccepted)};
}

std::vector<std::uint8_t> Deck::Damage(std::vector<std::uint8_t> frame) {
    // Scrambles the video DIF blocks of the middle sequences, as a tape dropout does.
    for (std::size_t i = 40000; i < 80000 && i < frame.size(); i += 7) frame[i] ^= 0x5A;
    return frame;
}

std::optional<std::vector<std::uint8_t>> Deck::Tick() {
    std::lock_guard lock(mutex_);
    if (!tape_ || faults_.noCassette) return std::nullopt;
    const double last = static_cast<double>(tape_->FrameCount()) - 1;
    if (std::exchange(showBeforeMoving_, false) && speed_ == 1) {
        // The frame at the position is shown as it is.
    } else if (speed_ != 0) {
        position_ += speed_;
        // Winding stops at the end it reaches; playing shows the end frame first.
        bool winding = state_.opcode == kOpWind;
        if (position_ > last || (winding && position_ >= last)) StopAt(std::max(0.0, last));
        if (position_ < 0 || (winding && position_ <= 0)) StopAt(0);
    }
    if (!picture_ || state_.opcode == kOpRecord || last < 0) return std::nullopt;
    std::vector<std::uint8_t> frame;
    if (!tape_->ReadFrame(static_cast<std::int64_t>(position_), &frame)) return std::nullopt;
    ++outputCount_;
    if (!ApplyTapeFaults(static_cast<std::int64_t>(position_), frame)) return std::nullopt;
    if (faults_.dropEvery > 0 && outputCount_ % faults_.dropEvery == 0) return std::nullopt;
    if (faults_.damageEvery > 0 && outputCount_ % faults_.damageEvery == 0)
        return Damage(std::move(frame));
    return frame;
}

std::int64_t Deck::TakeLinkLosses() {
    std::lock_guard lock(mutex_);
    return std::exchange(linkLosses_, 0);
}

bool Deck::ApplyTapeFaults(std::int64_t position, std::vector<std::uint8_t>& frame) {
    using Kind = TapeFault::Kind;
    std::uint8_t* data = frame.data();
    const std::size_t size = frame.size();
    for (const TapeFault& f : faults_.tape) {
        const bool inStretch = position >= f.frame && position < f.frame + f.count;
        const bool from = position >= f.frame;
        switch (f.kind) {
            case Kind::VideoStatus:
                if (inStretch) SetVideoStatus(data, size, static_cast<int>(f.value), f.blocks);
                break;
            case Kind::AudioErrors:
                if (inStretch) MarkAudioErrors(data, size, f.blocks);
                break;
            case Kind::TimecodeJump:
                if (from) ShiftTimecode(data, size, f.value);
                break;
            case Kind::DateJump:
                if (from) ShiftRecordingDate(data, size, f.value);
                break;
            case Kind::Blank:
                if (inStretch) BlankFrame(data, size);
                break;
            case Kind::AudioMode:
                if (from) ChangeAudioMode(data, size, static_cast<int>(f.value), position);
                break;
            case Kind::LinkDrop:
                if (inStretch) {
                    ++linkLosses_;
                    return false;
                }
                break;
        }
    }
    return true;
}

void Deck::ReceiveInput(const std::uint8_t* frame, std::size_t size) {
    std::lock_guard lock(mutex_);
    if (!tape_ || state_.opcode != kOpRecord || state_.operand != 0x75) return;
    // A deck records its own system only; the other one is not written (a real deck shows no
    // picture for it either).
    const std::size_t own = IsPal() ? platform::dv::kFrameSize625 : platform::dv::kFrameSize525;
    if (size != own) return;
    auto at = static_cast<std::int64_t>(position_);
    if (tape_->WriteFrame(at, frame, size)) position_ = static_cast<double>(at + 1);
}

}  // namespace vdeck
