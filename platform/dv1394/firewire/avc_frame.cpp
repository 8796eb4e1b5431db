#include "platform/dv1394/firewire/avc_frame.h"

#include <algorithm>

#include "platform/dv1394/dv_unit.h"

namespace platform::dv1394::firewire {
namespace {

constexpr std::uint8_t kFirstResponseCode = kAvcNotImplemented;
constexpr std::uint8_t kOpLoadMedium = 0xC1;

// The opcode byte of an answer to `command`. A TRANSPORT STATE status answer carries the
// transport's current mode there instead (LOAD MEDIUM, RECORD, PLAY or WIND).
bool OpcodeAnswers(const std::vector<std::uint8_t>& command, std::uint8_t opcode) {
    if (opcode == command[2]) return true;
    return command[0] == kAvcStatus && command[2] == kOpTransportState && opcode >= kOpLoadMedium &&
           opcode <= kOpWind;
}

// A unit echoes a control command's operands in each answer to it: an answer with other
// operands belongs to another command with the same opcode (a late answer to one given up on).
bool OperandsAnswer(const std::vector<std::uint8_t>& command, const std::uint8_t* response,
                    std::size_t size) {
    if (command[0] != kAvcControl) return true;
    if (size < command.size()) return false;
    return std::equal(command.begin() + 3, command.end(), response + 3);
}

}  // namespace

std::optional<std::vector<std::uint32_t>> PackAvcFrame(const std::vector<std::uint8_t>& frame) {
    if (frame.size() < kMinAvcFrame || frame.size() > kMaxAvcFrame) return std::nullopt;
    std::vector<std::uint32_t> quadlets((frame.size() + 3) / 4, 0);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        quadlets[i / 4] |= std::uint32_t{frame[i]} << (24 - 8 * (i % 4));
    }
    return quadlets;
}

std::optional<std::vector<std::uint8_t>> UnpackAvcFrame(const std::vector<std::uint32_t>& quadlets,
                                                        std::size_t size) {
    if (size > quadlets.size() * 4) return std::nullopt;
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(quadlets[i / 4] >> (24 - 8 * (i % 4)));
    }
    return bytes;
}

AvcAnswer ClassifyAnswer(const std::vector<std::uint8_t>& command, const std::uint8_t* response,
                         std::size_t size) {
    if (response == nullptr || size < kMinAvcFrame || size > kMaxAvcFrame) {
        return AvcAnswer::kNotOurs;
    }
    if (command.size() < kMinAvcFrame) return AvcAnswer::kNotOurs;
    // The upper nibble of byte 0 is the command set, 0 for AV/C.
    if ((response[0] & 0xF0) != 0 || response[0] < kFirstResponseCode) return AvcAnswer::kNotOurs;
    if (response[1] != command[1] || !OpcodeAnswers(command, response[2]))
        return AvcAnswer::kNotOurs;
    if (!OperandsAnswer(command, response, size)) return AvcAnswer::kNotOurs;
    return response[0] == kAvcInterim ? AvcAnswer::kInterim : AvcAnswer::kFinal;
}

void AvcExchange::Begin(std::vector<std::uint8_t> command, Clock::time_point now,
                        std::chrono::milliseconds timeout) {
    command_ = std::move(command);
    answer_.clear();
    timeout_ = timeout;
    deadline_ = now + timeout;
    interim_seen_ = false;
    done_ = false;
    active_ = true;
}

bool AvcExchange::OnResponse(const std::uint8_t* data, std::size_t size, Clock::time_point now) {
    if (!active_ || done_) return done_;
    switch (ClassifyAnswer(command_, data, size)) {
        case AvcAnswer::kNotOurs:
            break;
        case AvcAnswer::kInterim:
            if (!interim_seen_) deadline_ = now + timeout_;
            interim_seen_ = true;
            break;
        case AvcAnswer::kFinal:
            answer_.assign(data, data + size);
            done_ = true;
            break;
    }
    return done_;
}

}  // namespace platform::dv1394::firewire
