#include "cli/merge/frame_merge.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "platform/dv/dif.h"

namespace velmora::merge {
namespace dv = platform::dv;

int StaSeverity(int sta) {
    switch (dv::StaKindOf(sta)) {
        case dv::StaKind::Clean:
            return 0;
        case dv::StaKind::ConcealedPrevious:
        case dv::StaKind::ConcealedNext:
            return 1;
        case dv::StaKind::ConcealedOther:
            return 2;
        case dv::StaKind::Reserved:
            return 3;
        case dv::StaKind::ErrorNotConcealed:
            return 4;
    }
    return 4;
}

bool AudioBlockUnreadable(const std::uint8_t* block, int bits) {
    const std::uint8_t* data = block + 8;
    if (bits == 12) {
        for (int i = 0; i < 72; i += 3)
            if (data[i] != 0x80 || data[i + 1] != 0x80 || data[i + 2] != 0x00) return false;
        return true;
    }
    for (int i = 0; i < 72; i += 2)
        if (data[i] != 0x80 || data[i + 1] != 0x00) return false;
    return true;
}

namespace {

constexpr int kWorst = 5;

// The severity of one copy's block at `offset`: video by its STA (a block whose id is not
// video counts as an error), audio by the "no sample" fill where the frame carries sound.
int BlockSeverity(const std::uint8_t* block, dv::Section section, bool soundHere, int bits) {
    const auto actual = static_cast<dv::Section>(block[0] >> 5);
    if (section == dv::Section::Video)
        return actual == dv::Section::Video ? StaSeverity(block[3] >> 4) : 4;
    if (!soundHere) return 0;
    if (actual != dv::Section::Audio) return 2;
    return AudioBlockUnreadable(block, bits) ? 1 : 0;
}

// The audio format the copies describe: bits, and how many sequences carry sound.
void SoundOf(const std::vector<FrameCopy>& copies, int sequences, int* bits, int* soundSequences) {
    *bits = 16;
    *soundSequences = 0;
    for (const auto& copy : copies) {
        const auto& audio = copy.analysis->audio;
        if (!audio.present) continue;
        *bits = audio.bits;
        const int halves = audio.bits == 16 || audio.channels == 4 ? 2 : 1;
        *soundSequences = halves * sequences / 2;
        return;
    }
}

// Among clean copies `mask` whose bytes differ: those agreeing with the largest group; a tie
// keeps the group of the lowest copy. `settled` says whether the group is a strict majority.
std::uint32_t LargestAgreeing(const std::vector<FrameCopy>& copies, std::size_t offset,
                              std::uint32_t mask, bool* settled) {
    std::uint32_t best = 0;
    int bestCount = 0;
    for (int i = 0; i < 32; ++i) {
        if (!(mask >> i & 1)) continue;
        std::uint32_t group = 0;
        for (int j = 0; j < 32; ++j)
            if ((mask >> j & 1) && std::memcmp(copies[i].bytes + offset, copies[j].bytes + offset,
                                               dv::kBlockSize) == 0)
                group |= 1u << j;
        const int count = std::popcount(group);
        if (count > bestCount) best = group, bestCount = count;
    }
    *settled = bestCount * 2 > std::popcount(mask);
    return best;
}

}  // namespace

MergedFrame MergeFrame(const std::vector<FrameCopy>& copies, std::size_t size) {
    MergedFrame out;
    const int sequences = static_cast<int>(size / dv::kSequenceSize);
    int bits = 16, soundSequences = 0;
    SoundOf(copies, sequences, &bits, &soundSequences);

    // For every audio or video block, the copies it may come from.
    const int count = static_cast<int>(copies.size());
    std::vector<std::uint32_t> from(static_cast<std::size_t>(sequences) * dv::kBlocksPerSequence);
    std::vector<int> given(copies.size());
    for (int s = 0; s < sequences; ++s) {
        for (int b = 6; b < static_cast<int>(dv::kBlocksPerSequence); ++b) {
            const int index = s * static_cast<int>(dv::kBlocksPerSequence) + b;
            const std::size_t offset = static_cast<std::size_t>(index) * dv::kBlockSize;
            const dv::Section section = dv::SectionAt(b);
            int best = kWorst;
            std::uint32_t mask = 0;
            for (int c = 0; c < count; ++c) {
                const int severity =
                    BlockSeverity(copies[c].bytes + offset, section, s < soundSequences, bits);
                if (severity < best) best = severity, mask = 0;
                if (severity == best) mask |= 1u << c;
            }
            if (best > 0) out.residual.push_back(index);
            if (best == 0 && std::popcount(mask) > 1) {
                bool settled = false;
                const std::uint32_t agreeing = LargestAgreeing(copies, offset, mask, &settled);
                if (agreeing != mask) {
                    ++(settled ? out.disputedSettled : out.disputedOpen);
                    mask = agreeing;
                }
            }
            from[index] = mask;
            for (int c = 0; c < count; ++c)
                if (mask >> c & 1) ++given[c];
        }
    }
    out.base = static_cast<int>(std::max_element(given.begin(), given.end()) - given.begin());
    out.bytes.assign(copies[out.base].bytes, copies[out.base].bytes + size);
    for (std::size_t index = 0; index < from.size(); ++index) {
        const std::uint32_t mask = from[index];
        if (mask == 0 || (mask >> out.base & 1)) continue;
        const int source = std::countr_zero(mask);
        const std::size_t offset = index * dv::kBlockSize;
        std::memcpy(out.bytes.data() + offset, copies[source].bytes + offset, dv::kBlockSize);
        out.repaired.emplace_back(static_cast<int>(index), source);
    }
    return out;
}

std::string FormatRanges(const std::vector<int>& sorted) {
    std::string text;
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1) ++j;
        if (!text.empty()) text += ',';
        text += std::to_string(sorted[i]);
        if (j > i) text += '-' + std::to_string(sorted[j]);
        i = j + 1;
    }
    return text;
}

}  // namespace velmora::merge
