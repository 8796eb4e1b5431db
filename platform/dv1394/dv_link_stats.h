#pragma once
// What the DV device filter lost of the unit's stream, beyond the platform's interfaces. Each
// frame it delivers carries as its media time (start) its number in the unit's stream, lost
// frames counted, so that whoever receives it can tell how many were lost just before it.

#include <string>

#include "platform/media/interfaces.h"

// {6C1E2A43-3B7D-4E51-9A0C-5F2D8B1C7A04}
inline constexpr GUID IID_IVelmoraDvLinkStats = {
    0x6C1E2A43, 0x3B7D, 0x4E51, {0x9A, 0x0C, 0x5F, 0x2D, 0x8B, 0x1C, 0x7A, 0x04}};

struct IVelmoraDvLinkStats : IUnknown {
    // Frames lost since the filter was made: on the link before they reached the computer
    // (bus), arriving short or damaged (incomplete), of the other DV system than the outputs
    // carry (foreign), and not delivered by "DV A/V Out" because no buffer was free (overrun).
    // Safe from any thread.
    virtual HRESULT STDMETHODCALLTYPE GetLosses(LONGLONG* bus, LONGLONG* incomplete,
                                                LONGLONG* foreign, LONGLONG* overrun) = 0;
    // The first frame of the other DV system that the filter dropped, kept whole, so that a
    // receiver that goes over to that system can tell by its time code how far the tape moved
    // meanwhile. *written is 0 before one came; a buffer smaller than the frame fails with
    // HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) and *written set to the size it needs.
    // *framesSince (optional) counts the frames of the unit's stream from that one on, itself
    // and those lost or damaged included: the stretch of tape the filter has accounted for.
    virtual HRESULT STDMETHODCALLTYPE GetFirstForeignFrame(BYTE* buffer, LONG size, LONG* written,
                                                           LONGLONG* framesSince) = 0;

  protected:
    ~IVelmoraDvLinkStats() = default;
};
VELMORA_DECLARE_IID(IVelmoraDvLinkStats, IID_IVelmoraDvLinkStats)

namespace platform::dv1394 {

// The name of the unit behind a DV device filter (IAMExtDevice's external device ID); empty
// when the filter does not say.
std::string DvUnitNameOf(IUnknown* device);

}  // namespace platform::dv1394
