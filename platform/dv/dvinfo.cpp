#include "platform/dv/dvinfo.h"

#include "platform/dv/dif.h"

namespace platform::dv {

namespace {

DWORD PayloadOf(const std::optional<Pack>& pack) {
    if (!pack) return 0xFFFFFFFFu;
    return static_cast<DWORD>(pack->payload[0]) | static_cast<DWORD>(pack->payload[1]) << 8 |
           static_cast<DWORD>(pack->payload[2]) << 16 | static_cast<DWORD>(pack->payload[3]) << 24;
}

}  // namespace

bool BuildDvInfo(const BYTE* frame, std::size_t size, DVINFO* info) {
    if (!info) return false;
    const auto layout = LayoutOf(frame, size);
    if (!layout) return false;
    const int half = layout->sequences / 2;
    DVINFO out{};
    out.dwDVAAuxSrc = PayloadOf(FindAauxPack(frame, *layout, kPackAauxSource, 0, half));
    out.dwDVAAuxCtl = PayloadOf(FindAauxPack(frame, *layout, kPackAauxControl, 0, half));
    out.dwDVAAuxSrc1 =
        PayloadOf(FindAauxPack(frame, *layout, kPackAauxSource, half, layout->sequences));
    out.dwDVAAuxCtl1 =
        PayloadOf(FindAauxPack(frame, *layout, kPackAauxControl, half, layout->sequences));
    out.dwDVVAuxSrc = PayloadOf(FindVauxPack(frame, *layout, kPackVauxSource));
    out.dwDVVAuxCtl = PayloadOf(FindVauxPack(frame, *layout, kPackVauxControl));
    *info = out;
    return true;
}

}  // namespace platform::dv
