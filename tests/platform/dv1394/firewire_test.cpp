#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/dv1394/firewire/avc_frame.h"
#include "platform/dv1394/firewire/cip.h"
#include "platform/dv1394/firewire/dif_assembler.h"
#include "platform/dv1394/firewire/firewire_unit.h"
#include "platform/dv1394/firewire/frame_queue.h"

namespace platform::dv1394::firewire {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// ---- CIP headers -------------------------------------------------------------------------

TEST(FirewireCip, DvHeadersHaveTheBusLayout) {
    std::uint8_t bytes[8];
    BuildCip(DvCipHeader(DvSystem::k525_60, 0x01, 0x12), bytes);
    EXPECT_EQ(Bytes(bytes, bytes + 8), (Bytes{0x01, 0x78, 0x00, 0x12, 0x80, 0x00, 0xFF, 0xFF}));
    BuildCip(DvCipHeader(DvSystem::k625_50, 0x3F, 0xFF), bytes);
    EXPECT_EQ(Bytes(bytes, bytes + 8), (Bytes{0x3F, 0x78, 0x00, 0xFF, 0x80, 0x80, 0xFF, 0xFF}));

    const auto parsed = ParseCip(bytes, sizeof bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->sid, 0x3F);
    EXPECT_EQ(parsed->dbc, 0xFF);
    EXPECT_EQ(parsed->syt, kCipNoTimestamp);
    EXPECT_TRUE(IsDvCip(*parsed));
    EXPECT_EQ(DvSystemOf(*parsed), DvSystem::k625_50);
}

TEST(FirewireCip, EveryFieldSurvivesARoundTrip) {
    CipHeader h{.sid = 0x2A,
                .dbs = 6,
                .fn = 3,
                .qpc = 5,
                .sph = true,
                .dbc = 0x81,
                .fmt = 0x20,
                .fdf = 0x5C,
                .syt = 0x1234};
    std::uint8_t bytes[8];
    BuildCip(h, bytes);
    const auto p = ParseCip(bytes, 8);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->sid, h.sid);
    EXPECT_EQ(p->dbs, h.dbs);
    EXPECT_EQ(p->fn, h.fn);
    EXPECT_EQ(p->qpc, h.qpc);
    EXPECT_EQ(p->sph, h.sph);
    EXPECT_EQ(p->dbc, h.dbc);
    EXPECT_EQ(p->fmt, h.fmt);
    EXPECT_EQ(p->fdf, h.fdf);
    EXPECT_EQ(p->syt, h.syt);
    EXPECT_FALSE(IsDvCip(*p));
}

TEST(FirewireCip, RefusesWhatIsNotADvHeader) {
    const std::uint8_t good[8] = {0x01, 0x78, 0x00, 0x00, 0x80, 0x00, 0xFF, 0xFF};
    EXPECT_FALSE(ParseCip(good, 7));
    EXPECT_FALSE(ParseCip(nullptr, 8));
    std::uint8_t bad[8];
    std::memcpy(bad, good, 8);
    bad[0] |= 0x80;  // first quadlet must start with 00
    EXPECT_FALSE(ParseCip(bad, 8));
    std::memcpy(bad, good, 8);
    bad[4] = 0x00;  // second quadlet must start with 10
    EXPECT_FALSE(ParseCip(bad, 8));

    CipHeader h = *ParseCip(good, 8);
    EXPECT_TRUE(IsDvCip(h));
    EXPECT_EQ(DvSystemOf(h), DvSystem::k525_60);
    for (auto change : {+[](CipHeader& c) { c.fmt = 0x20; }, +[](CipHeader& c) { c.dbs = 6; },
                        +[](CipHeader& c) { c.fn = 1; }, +[](CipHeader& c) { c.sph = true; },
                        +[](CipHeader& c) { c.fdf = 0x04; }}) {
        CipHeader other = h;
        change(other);
        EXPECT_FALSE(IsDvCip(other));
    }
}

TEST(FirewireCip, CountsDataBlocksAndFollowsTheCounter) {
    const CipHeader h = DvCipHeader(DvSystem::k525_60, 0, 0);
    EXPECT_EQ(DataBlockCount(h, 0), 0u);
    EXPECT_EQ(DataBlockCount(h, 480), 1u);
    EXPECT_EQ(DataBlockCount(h, 960), 2u);
    EXPECT_FALSE(DataBlockCount(h, 479));
    EXPECT_FALSE(DataBlockCount(h, 484));

    DbcTracker dbc;
    EXPECT_EQ(dbc.Check(254, 1), 0u);  // first packet: nothing to compare with
    EXPECT_EQ(dbc.Check(255, 1), 0u);
    EXPECT_EQ(dbc.Check(0, 0), 0u);  // empty packet carries the next counter, wrapping
    EXPECT_EQ(dbc.Check(0, 1), 0u);
    EXPECT_EQ(dbc.Check(3, 1), 2u);  // blocks 1 and 2 lost
    EXPECT_EQ(dbc.Check(4, 1), 0u);
    EXPECT_EQ(dbc.Check(4, 1), 255u);  // a repeated counter is a jump all the way round
}

// ---- DIF frame assembly ------------------------------------------------------------------

// The DIF block IDs of a sequence, written out from its layout: header, two subcode, three
// VAUX, then nine times one audio block and fifteen video blocks.
DifBlockId IdAt(unsigned seq, unsigned index) {
    if (index == 0) return {0, static_cast<std::uint8_t>(seq), 0};
    if (index < 3) return {1, static_cast<std::uint8_t>(seq), static_cast<std::uint8_t>(index - 1)};
    if (index < 6) return {2, static_cast<std::uint8_t>(seq), static_cast<std::uint8_t>(index - 3)};
    const unsigned group = (index - 6) / 16;
    const unsigned in_group = (index - 6) % 16;
    if (in_group == 0) return {3, static_cast<std::uint8_t>(seq), static_cast<std::uint8_t>(group)};
    return {4, static_cast<std::uint8_t>(seq),
            static_cast<std::uint8_t>(group * 15 + in_group - 1)};
}

Bytes MakeFrame(DvSystem system, std::uint8_t tag) {
    Bytes frame(FrameSize(system));
    for (unsigned seq = 0; seq < SequencesPerFrame(system); ++seq) {
        for (unsigned i = 0; i < kDifBlocksPerSequence; ++i) {
            std::uint8_t* block = &frame[(seq * kDifBlocksPerSequence + i) * kDifBlockSize];
            const DifBlockId id = IdAt(seq, i);
            block[0] = static_cast<std::uint8_t>(id.sct << 5 | 0x07);  // arbitrary bits set
            block[1] = static_cast<std::uint8_t>(id.dseq << 4 | 0x07);
            block[2] = id.dbn;
            for (std::size_t b = 3; b < kDifBlockSize; ++b) {
                block[b] = static_cast<std::uint8_t>(tag + seq * 7 + i + b);
            }
            if (i == 0) block[3] = system == DvSystem::k625_50 ? 0xBF : 0x3F;
        }
    }
    return frame;
}

std::vector<Bytes> Packets(const Bytes& frame) {
    std::vector<Bytes> packets;
    for (std::size_t at = 0; at < frame.size(); at += kDifPacketSize) {
        packets.emplace_back(frame.begin() + at, frame.begin() + at + kDifPacketSize);
    }
    return packets;
}

struct Collector {
    std::vector<Bytes> frames;
    FrameAssembler assembler{[this](const std::uint8_t* data, std::size_t size) {
        frames.emplace_back(data, data + size);
    }};
    void Feed(const std::vector<Bytes>& packets) {
        for (const auto& p : packets) assembler.AddPacket(p.data(), p.size());
    }
};

TEST(FirewireDif, BlockIdsMapOntoTheSequenceLayout) {
    for (unsigned i = 0; i < kDifBlocksPerSequence; ++i) {
        EXPECT_EQ(BlockIndexInSequence(IdAt(3, i)), i) << "block " << i;
    }
    EXPECT_FALSE(BlockIndexInSequence({0, 0, 1}));    // one header per sequence
    EXPECT_FALSE(BlockIndexInSequence({1, 0, 2}));    // two subcode blocks
    EXPECT_FALSE(BlockIndexInSequence({2, 0, 3}));    // three VAUX blocks
    EXPECT_FALSE(BlockIndexInSequence({3, 0, 9}));    // nine audio blocks
    EXPECT_FALSE(BlockIndexInSequence({4, 0, 135}));  // 135 video blocks
    for (std::uint8_t sct = 5; sct < 8; ++sct) EXPECT_FALSE(BlockIndexInSequence({sct, 0, 0}));
    EXPECT_EQ(kPacketsPerSequence, 25u);
}

TEST(FirewireDif, AssemblesWholeFramesOfBothSystems) {
    Collector c;
    const Bytes ntsc = MakeFrame(DvSystem::k525_60, 1);
    const Bytes pal = MakeFrame(DvSystem::k625_50, 2);
    EXPECT_EQ(Packets(ntsc).size(), 250u);
    EXPECT_EQ(Packets(pal).size(), 300u);
    c.Feed(Packets(ntsc));
    c.Feed(Packets(pal));
    c.Feed(Packets(ntsc));
    ASSERT_EQ(c.frames.size(), 3u);
    EXPECT_EQ(c.frames[0], ntsc);
    EXPECT_EQ(c.frames[1], pal);
    EXPECT_EQ(c.frames[2], ntsc);
    EXPECT_EQ(c.assembler.Stats().frames, 3u);
    EXPECT_EQ(c.assembler.Stats().incomplete, 0u);
    EXPECT_EQ(c.assembler.Stats().packets_lost, 0u);
}

TEST(FirewireDif, WaitsForAFrameStartWhenJoiningMidStream) {
    Collector c;
    const auto first = Packets(MakeFrame(DvSystem::k525_60, 1));
    const Bytes second = MakeFrame(DvSystem::k525_60, 2);
    c.Feed(std::vector<Bytes>(first.begin() + 100, first.end()));
    c.Feed(Packets(second));
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0], second);
    EXPECT_EQ(c.assembler.Stats().packets_skipped, 150u);
    EXPECT_EQ(c.assembler.Stats().incomplete, 0u);
}

TEST(FirewireDif, ALostPacketSpoilsOnlyItsFrame) {
    Collector c;
    auto broken = Packets(MakeFrame(DvSystem::k525_60, 1));
    broken.erase(broken.begin() + 137);  // middle of sequence 5
    const Bytes next = MakeFrame(DvSystem::k525_60, 2);
    c.Feed(broken);
    c.Feed(Packets(next));
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0], next);
    EXPECT_EQ(c.assembler.Stats().incomplete, 1u);
    EXPECT_EQ(c.assembler.Stats().packets_lost, 1u);
}

TEST(FirewireDif, AFrameCutShortEndsAtTheNextFrameStart) {
    Collector c;
    auto cut = Packets(MakeFrame(DvSystem::k525_60, 1));
    cut.resize(cut.size() - 3);  // its last three packets never came
    const Bytes next = MakeFrame(DvSystem::k525_60, 2);
    c.Feed(cut);
    EXPECT_TRUE(c.frames.empty());
    c.Feed(Packets(next));
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0], next);
    EXPECT_EQ(c.assembler.Stats().incomplete, 1u);
    EXPECT_EQ(c.assembler.Stats().packets_lost, 3u);
}

TEST(FirewireDif, DamagedPacketsAreNotPassedOn) {
    const auto good = Packets(MakeFrame(DvSystem::k525_60, 1));
    struct Case {
        const char* what;
        void (*spoil)(std::vector<Bytes>&);
    };
    const Case cases[] = {
        {"short packet", [](std::vector<Bytes>& p) { p[40].resize(472); }},
        {"long packet", [](std::vector<Bytes>& p) { p[40].resize(488); }},
        {"empty packet", [](std::vector<Bytes>& p) { p[40].clear(); }},
        {"unknown section", [](std::vector<Bytes>& p) { p[40][0] = 0xE0; }},
        {"blocks swapped",
         [](std::vector<Bytes>& p) {
             std::swap_ranges(p[40].begin(), p[40].begin() + 80, p[40].begin() + 80);
         }},
        {"mixed sequences", [](std::vector<Bytes>& p) { p[40][80 + 1] ^= 0x10; }},
        {"packet repeated", [](std::vector<Bytes>& p) { p[41] = p[40]; }},
        {"sequence beyond 525-60",
         [](std::vector<Bytes>& p) {
             for (std::size_t b = 0; b < 6; ++b) p[249][b * 80 + 1] = 0xA7;  // Dseq 10
         }},
    };
    for (const auto& test : cases) {
        Collector c;
        auto packets = good;
        test.spoil(packets);
        c.Feed(packets);
        c.Feed(good);
        ASSERT_EQ(c.frames.size(), 1u) << test.what;
        EXPECT_EQ(c.frames[0], MakeFrame(DvSystem::k525_60, 1)) << test.what;
        EXPECT_GE(c.assembler.Stats().packets_damaged, 1u) << test.what;
        EXPECT_EQ(c.assembler.Stats().incomplete, 1u) << test.what;
    }
}

TEST(FirewireDif, ALossReportedByTheReceiverSpoilsTheFrame) {
    Collector c;
    const auto packets = Packets(MakeFrame(DvSystem::k525_60, 1));
    c.Feed(std::vector<Bytes>(packets.begin(), packets.begin() + 10));
    c.assembler.NoteLoss();
    c.Feed(std::vector<Bytes>(packets.begin() + 10, packets.end()));
    EXPECT_TRUE(c.frames.empty());
    EXPECT_EQ(c.assembler.Stats().incomplete, 1u);
}

// ---- AV/C frames -------------------------------------------------------------------------

TEST(FirewireAvc, PacksBytesIntoBigEndianQuadlets) {
    const auto four = PackAvcFrame({0x01, 0x20, 0xD0, 0x7F});
    ASSERT_TRUE(four);
    EXPECT_EQ(*four, (std::vector<std::uint32_t>{0x0120D07F}));
    const auto odd = PackAvcFrame({0x00, 0x20, 0xC3, 0x75, 0xAB});
    ASSERT_TRUE(odd);
    EXPECT_EQ(*odd, (std::vector<std::uint32_t>{0x0020C375, 0xAB000000}));
    EXPECT_EQ(UnpackAvcFrame(*odd, 5), (Bytes{0x00, 0x20, 0xC3, 0x75, 0xAB}));
    EXPECT_FALSE(UnpackAvcFrame(*odd, 9));
}

TEST(FirewireAvc, FrameLengthsAreBounded) {
    EXPECT_FALSE(PackAvcFrame({}));
    EXPECT_FALSE(PackAvcFrame({0x01, 0xFF}));
    EXPECT_TRUE(PackAvcFrame({0x01, 0xFF, 0x30}));
    Bytes largest(512, 0x5A);
    const auto packed = PackAvcFrame(largest);
    ASSERT_TRUE(packed);
    EXPECT_EQ(packed->size(), 128u);
    EXPECT_EQ(UnpackAvcFrame(*packed, 512), largest);
    largest.push_back(0);
    EXPECT_FALSE(PackAvcFrame(largest));
}

TEST(FirewireAvc, TellsAnswersToTheCommandFromOtherFrames) {
    const Bytes play = {0x00, 0x20, 0xC3, 0x75};
    auto classify = [&](Bytes response) {
        return ClassifyAnswer(play, response.data(), response.size());
    };
    EXPECT_EQ(classify({0x09, 0x20, 0xC3, 0x75}), AvcAnswer::kFinal);
    EXPECT_EQ(classify({0x0A, 0x20, 0xC3, 0x75}), AvcAnswer::kFinal);
    EXPECT_EQ(classify({0x08, 0x20, 0xC3, 0x75}), AvcAnswer::kFinal);
    EXPECT_EQ(classify({0x0F, 0x20, 0xC3, 0x75}), AvcAnswer::kInterim);
    EXPECT_EQ(classify({0x00, 0x20, 0xC3, 0x75}),
              AvcAnswer::kNotOurs);  // a command, not a response
    EXPECT_EQ(classify({0x19, 0x20, 0xC3, 0x75}), AvcAnswer::kNotOurs);  // another command set
    EXPECT_EQ(classify({0x09, 0x20, 0xC4, 0x60}), AvcAnswer::kNotOurs);  // another opcode
    EXPECT_EQ(classify({0x09, 0xFF, 0xC3, 0x75}), AvcAnswer::kNotOurs);  // another subunit
    EXPECT_EQ(classify({0x09, 0x20}), AvcAnswer::kNotOurs);
    Bytes huge(513, 0);
    huge[0] = 0x09, huge[1] = 0x20, huge[2] = 0xC3, huge[3] = 0x75;
    EXPECT_EQ(classify(huge), AvcAnswer::kNotOurs);
    huge.resize(512);
    EXPECT_EQ(classify(huge), AvcAnswer::kFinal);
    EXPECT_EQ(ClassifyAnswer(play, nullptr, 4), AvcAnswer::kNotOurs);
}

TEST(FirewireAvc, TransportStateAnswersCarryTheModeOpcode) {
    const Bytes state = {0x01, 0x20, 0xD0, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF};
    auto classify = [&](Bytes response) {
        return ClassifyAnswer(state, response.data(), response.size());
    };
    for (std::uint8_t mode : {0xC1, 0xC2, 0xC3, 0xC4})
        EXPECT_EQ(classify({0x0C, 0x20, mode, 0x75, 0xFF, 0xFF, 0xFF, 0xFF}), AvcAnswer::kFinal);
    EXPECT_EQ(classify({0x08, 0x20, 0xD0, 0x7F}), AvcAnswer::kFinal);  // NOT IMPLEMENTED
    EXPECT_EQ(classify({0x0C, 0x20, 0xC5, 0x75}), AvcAnswer::kNotOurs);
    EXPECT_EQ(classify({0x0C, 0x20, 0x51, 0x71}), AvcAnswer::kNotOurs);  // TIME CODE's answer
    // Only a status query of the transport state is answered that way.
    const Bytes play = {0x00, 0x20, 0xC3, 0x75};
    const Bytes wind = {0x09, 0x20, 0xC4, 0x75};
    EXPECT_EQ(ClassifyAnswer(play, wind.data(), wind.size()), AvcAnswer::kNotOurs);
}

TEST(FirewireAvc, ControlAnswersMustEchoTheOperands) {
    const Bytes pause = {0x00, 0x20, 0xC3, 0x7D};
    auto classify = [&](Bytes response) {
        return ClassifyAnswer(pause, response.data(), response.size());
    };
    EXPECT_EQ(classify({0x09, 0x20, 0xC3, 0x7D}), AvcAnswer::kFinal);
    EXPECT_EQ(classify({0x09, 0x20, 0xC3, 0x75}), AvcAnswer::kNotOurs);  // PLAY's late answer
    EXPECT_EQ(classify({0x0F, 0x20, 0xC3, 0x75}), AvcAnswer::kNotOurs);
    EXPECT_EQ(classify({0x09, 0x20, 0xC3}), AvcAnswer::kNotOurs);  // operands cut off
    // Status answers fill in the operands the query left open.
    const Bytes medium = {0x01, 0x20, 0xDA, 0x7F, 0x7F};
    const Bytes answer = {0x0C, 0x20, 0xDA, 0x32, 0x30};
    EXPECT_EQ(ClassifyAnswer(medium, answer.data(), answer.size()), AvcAnswer::kFinal);
}

TEST(FirewireAvc, OneInterimExtendsTheWaitOnce) {
    const Bytes status = {0x01, 0x20, 0xD0, 0x7F};
    const Bytes interim = {0x0F, 0x20, 0xD0, 0x7F};
    const Bytes stable = {0x0C, 0x20, 0xC3, 0x75};   // the transport mode in the opcode byte
    const Bytes foreign = {0x0C, 0x20, 0x51, 0x71};  // TIME CODE's answer
    const auto t0 = AvcExchange::Clock::time_point{} + 1h;

    AvcExchange silent;
    silent.Begin(status, t0, 100ms);
    EXPECT_FALSE(silent.Expired(t0 + 99ms));
    EXPECT_TRUE(silent.Expired(t0 + 100ms));

    AvcExchange slow;
    slow.Begin(status, t0, 100ms);
    EXPECT_FALSE(slow.OnResponse(foreign.data(), foreign.size(), t0 + 10ms));
    EXPECT_FALSE(slow.OnResponse(interim.data(), interim.size(), t0 + 80ms));
    EXPECT_EQ(slow.Deadline(), t0 + 180ms);
    EXPECT_FALSE(slow.OnResponse(interim.data(), interim.size(), t0 + 150ms));
    EXPECT_EQ(slow.Deadline(), t0 + 180ms);  // a second INTERIM does not extend it again
    EXPECT_FALSE(slow.Expired(t0 + 179ms));
    EXPECT_TRUE(slow.OnResponse(stable.data(), stable.size(), t0 + 179ms));
    EXPECT_FALSE(slow.Expired(t0 + 500ms));
    EXPECT_EQ(slow.Answer(), stable);

    AvcExchange ended;
    ended.Begin(status, t0, 100ms);
    ended.End();
    EXPECT_FALSE(ended.OnResponse(stable.data(), stable.size(), t0 + 1ms));  // too late
}

// ---- Transmit queue ----------------------------------------------------------------------

TEST(FirewireFrameQueue, StreamsFramesThenHoldsTheLastOne) {
    FrameQueue queue(4);
    std::uint8_t out[7];
    queue.Read(out, sizeof out);
    EXPECT_EQ(Bytes(out, out + 7), Bytes(7, 0));  // nothing yet

    const Bytes a = {1, 2, 3, 4, 5};
    const Bytes b = {6, 7, 8, 9, 10};
    ASSERT_TRUE(queue.Push(a.data(), a.size()));
    ASSERT_TRUE(queue.Push(b.data(), b.size()));
    EXPECT_EQ(queue.WaitFirst(), 5u);
    Bytes stream(16);
    queue.Read(stream.data(), 3);
    queue.Read(stream.data() + 3, 13);  // crosses into b, then repeats b
    EXPECT_EQ(stream, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 6, 7, 8, 9, 10, 6}));
    EXPECT_EQ(queue.Repeats(), 2u);
}

TEST(FirewireFrameQueue, WriterWaitsForRoomAndIsReleasedByClose) {
    FrameQueue queue(1);
    const Bytes frame(10, 0x11);
    ASSERT_TRUE(queue.Push(frame.data(), frame.size()));
    std::atomic<int> pushed{0};
    std::atomic<bool> second_result{false};
    std::thread writer([&] {
        second_result = queue.Push(frame.data(), frame.size());
        pushed = 1;
        const bool third = queue.Push(frame.data(), frame.size());
        pushed = third ? 2 : 3;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(pushed.load(), 0);  // the queue is full
    std::uint8_t out[10];
    queue.Read(out, sizeof out);  // takes the first frame: room for one
    for (int i = 0; i < 200 && pushed.load() == 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(pushed.load(), 1);
    EXPECT_TRUE(second_result.load());
    queue.Close();
    writer.join();
    EXPECT_EQ(pushed.load(), 3);  // the third write was refused, not left hanging
    EXPECT_EQ(queue.WaitFirst(), 0u);
}

// ---- Units without hardware --------------------------------------------------------------

bool MachineHasFirewire() {
    for (int i = 0; i < 4; ++i) {
        const std::string node = "/dev/fw" + std::to_string(i);
        if (access(node.c_str(), F_OK) == 0) return true;
    }
    return access("/dev/raw1394", F_OK) == 0;
}

TEST(FirewireUnits, ListingWithoutFirewireIsQuickAndEmpty) {
    const auto start = std::chrono::steady_clock::now();
    const UnitList units = ListFirewireUnits();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    if (!MachineHasFirewire()) {
        EXPECT_TRUE(units.empty());
    }
}

TEST(FirewireUnits, AUnitWhosePortIsGoneFailsCleanly) {
    if (MachineHasFirewire()) GTEST_SKIP() << "this machine has a FireWire port";
    FirewireUnit unit(LibraryBus(), 0, 0x0123456789ABCDEFULL, 0xFFC2, "Deck");
    EXPECT_EQ(unit.Id(), "firewire:0123456789abcdef");
    std::vector<std::uint8_t> response;
    EXPECT_EQ(unit.Transact({0x01, 0x20}, &response, 100ms), AvcStatus::kInvalid);
    EXPECT_EQ(unit.Transact(Bytes(513, 0), &response, 100ms), AvcStatus::kInvalid);

    std::atomic<int> lost{0};
    unit.SetLostHandler([&] { ++lost; });
    EXPECT_TRUE(unit.IsLost());
    EXPECT_EQ(lost.load(), 1);
    EXPECT_EQ(unit.Transact({0x01, 0x20, 0xD0, 0x7F}, &response, 100ms), AvcStatus::kLost);
    EXPECT_FALSE(unit.StartReceive([](const std::uint8_t*, std::size_t) {}));
    EXPECT_FALSE(unit.StartTransmit());
    const Bytes frame(kNtscFrameSize, 0);
    EXPECT_FALSE(unit.Transmit(frame.data(), frame.size()));
    unit.StopReceive();
    unit.StopTransmit();
    unit.SetLostHandler([&] { ++lost; });  // the loss is told once per unit
    EXPECT_EQ(lost.load(), 1);
}

}  // namespace
}  // namespace platform::dv1394::firewire
