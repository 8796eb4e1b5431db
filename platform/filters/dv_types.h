#pragma once
// Media types of the DV filters: DV frames (interleaved or video only), uncompressed
// pictures and 16-bit stereo PCM.

#include "platform/dv/dif.h"
#include "platform/media/formats.h"
#include "platform/media/guids.h"
#include "platform/media/interfaces.h"
#include "platform/media/media_type.h"

namespace platform::filters {

inline constexpr DWORD kFourccDvsd = 0x64737664;         // 'dvsd'
inline constexpr REFERENCE_TIME kFrameTime525 = 333667;  // 100 ns units, 30000/1001 frames/s
inline constexpr REFERENCE_TIME kFrameTime625 = 400000;

// Standard-definition DV frames: major type Interleaved or Video, subtype dvsd.
bool IsDvType(const CMediaType& type);
// The TV system a DV type describes: by its DVINFO's VAUX (or AAUX) source pack, or by the
// picture height of its VIDEOINFOHEADER; 525 lines when the type does not say.
dv::System SystemOf(const CMediaType& type);
// The DVINFO of a FORMAT_DvInfo type, when it has one.
bool DvInfoOf(const CMediaType& type, DVINFO* info);
// The VIDEOINFOHEADER of a FORMAT_VideoInfo type, when its block is large enough.
const VIDEOINFOHEADER* VideoInfoOf(const CMediaType& type);
// The WAVEFORMATEX of a FORMAT_WaveFormatEx type, when its block is large enough.
const WAVEFORMATEX* WaveFormatOf(const CMediaType& type);

int PictureHeight(dv::System system);
std::size_t FrameSize(dv::System system);
REFERENCE_TIME FrameTime(dv::System system);

// MEDIATYPE_Video / dvsd / FORMAT_VideoInfo: one DV frame a sample.
void MakeDvVideoType(CMediaType* type, dv::System system);
// MEDIATYPE_Interleaved / dvsd / FORMAT_DvInfo.
void MakeInterleavedType(CMediaType* type, dv::System system, const DVINFO& info);
// MEDIATYPE_Video / `subtype` / FORMAT_VideoInfo, uncompressed, rows packed.
void MakePictureType(CMediaType* type, const GUID& subtype, int width, int height, WORD bits,
                     DWORD compression, REFERENCE_TIME frameTime);
// MEDIATYPE_Audio / PCM / FORMAT_WaveFormatEx, 16-bit stereo, 18-byte WAVEFORMATEX.
void MakePcmType(CMediaType* type, int sampleRate);
// 16-bit stereo PCM at one of the DV rates (48, 44.1 or 32 kHz); the rate, or 0.
int PcmRateOf(const CMediaType& type);

}  // namespace platform::filters
