#pragma once
// AV/C frames as they travel through the FCP registers: bytes packed into big-endian quadlets,
// answers told apart (ours or not, INTERIM or final), and the wait for the final answer, which
// one INTERIM answer may extend once.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform::dv1394::firewire {

inline constexpr std::size_t kMinAvcFrame = 3;  // ctype, subunit address, opcode

// The frame as quadlets, first byte in the most significant bits, the last quadlet padded with
// zeros; nullopt when shorter than three bytes or longer than 512.
std::optional<std::vector<std::uint32_t>> PackAvcFrame(const std::vector<std::uint8_t>& frame);
// The first `size` bytes of the quadlets; nullopt when they do not hold that many.
std::optional<std::vector<std::uint8_t>> UnpackAvcFrame(const std::vector<std::uint32_t>& quadlets,
                                                        std::size_t size);

enum class AvcAnswer {
    kNotOurs,  // another command's answer, or not a response at all
    kInterim,  // the unit will answer later
    kFinal,    // the answer to keep
};

// What a response frame means for `command`. A response answers a command when it carries a
// response code, the same subunit address and opcode (a transport mode for TRANSPORT STATE),
// the same operands for a control command, and fits in 512 bytes.
AvcAnswer ClassifyAnswer(const std::vector<std::uint8_t>& command, const std::uint8_t* response,
                         std::size_t size);

// The wait for one transaction's final answer. The time allowed starts when the command is
// sent; the first INTERIM answer restarts it, later ones do not.
class AvcExchange {
  public:
    using Clock = std::chrono::steady_clock;

    void Begin(std::vector<std::uint8_t> command, Clock::time_point now,
               std::chrono::milliseconds timeout);
    // Feeds one frame written to our response register; true once the final answer is in.
    bool OnResponse(const std::uint8_t* data, std::size_t size, Clock::time_point now);
    bool Done() const { return done_; }
    bool Expired(Clock::time_point now) const { return !done_ && now >= deadline_; }
    Clock::time_point Deadline() const { return deadline_; }
    const std::vector<std::uint8_t>& Answer() const { return answer_; }
    bool Active() const { return active_; }
    void End() { active_ = false; }

  private:
    std::vector<std::uint8_t> command_;
    std::vector<std::uint8_t> answer_;
    std::chrono::milliseconds timeout_{0};
    Clock::time_point deadline_;
    bool interim_seen_ = false;
    bool done_ = false;
    bool active_ = false;
};

}  // namespace platform::dv1394::firewire
