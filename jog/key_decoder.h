#pragma once
// Turns the controller's input reports into notifications: report 1 carries the keys as
// button usages 1 to 14, report 2 a signed 8-bit jog step in byte 1.

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "platform/hid/hid.h"

namespace pelko {

inline constexpr std::size_t kMaxKeys = 14;
inline constexpr std::uint8_t kKeyReport = 1;
inline constexpr std::uint8_t kJogReport = 2;

struct Notification {
    std::uint32_t key;
    bool press;
};

// At most every key released and every key pressed; no allocation per report.
struct Notifications {
    std::array<Notification, 2 * kMaxKeys> items{};
    std::size_t count = 0;
    void Add(Notification n) {
        if (count < items.size()) items[count++] = n;
    }
    auto begin() const { return items.begin(); }
    auto end() const { return items.begin() + static_cast<std::ptrdiff_t>(count); }
};

// The key code of a button usage, nothing outside 1 to 14.
std::optional<std::uint32_t> KeyCodeOf(USAGE usage);

// Remembers which keys were down in the last key report it decoded.
class KeyDecoder {
  public:
    // The notifications of one report (report ID byte first), in the order to post them:
    // every release, then every press, each in usage order.
    Notifications Decode(PHIDP_PREPARSED_DATA preparsed, std::span<std::uint8_t> report);

  private:
    Notifications DecodeKeys(PHIDP_PREPARSED_DATA preparsed, std::span<std::uint8_t> report);

    std::array<USAGE, kMaxKeys> previous_{};
};

}  // namespace pelko
