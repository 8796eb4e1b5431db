// fuzz-seeds OUT HID_TESTDATA BRIDGE_MODULE: writes a seed corpus for every fuzz target into
// OUT/<target>/, from real material: DV frames and AVI files that ffmpeg makes, those frames
// as FireWire packets, the HID report descriptors recorded from real devices, the registry
// values that the bridge module writes when it registers, and the answers and conversations
// of the virtual deck.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "platform/dv/audio.h"
#include "platform/dv/dif.h"
#include "platform/dv1394/firewire/cip.h"
#include "platform/dv1394/virtual/deck_protocol.h"
#include "vdeck/deck.h"
#include "vdeck/tape.h"
#include "vdeck/tape_maker.h"

namespace {

namespace fs = std::filesystem;
namespace pdv = platform::dv;
namespace fw = platform::dv1394::firewire;
namespace deck = platform::dv1394::deck;
using Bytes = std::vector<std::uint8_t>;

fs::path g_out;

Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void Seed(const std::string& target, const std::string& name, const Bytes& bytes) {
    WriteBytes(g_out / target / name, bytes);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Raw DV from ffmpeg's test pattern with a stereo tone, 525 or 625 lines.
Bytes MakeDv(const fs::path& folder, bool pal, int frames) {
    const fs::path path = folder / (pal ? "pal.dv" : "ntsc.dv");
    Run(std::string("ffmpeg -nostdin -y -f lavfi -i testsrc=size=720x") + (pal ? "576" : "480") +
        ":rate=" + (pal ? "25" : "30000/1001") +
        " -f lavfi -i sine=frequency=1000:sample_rate=48000"
        " -f lavfi -i sine=frequency=440:sample_rate=48000"
        " -filter_complex '[1:a][2:a]amerge=inputs=2[a]' -map 0:v -map '[a]' -frames:v " +
        std::to_string(frames + 4) + " -c:v dvvideo -pix_fmt " + (pal ? "yuv420p" : "yuv411p") +
        " -c:a pcm_s16le -ar 48000 -ac 2 -f dv '" + path.string() + "'");
    Bytes dv = ReadBytes(path);
    const std::size_t frameSize = pal ? pdv::kFrameSize625 : pdv::kFrameSize525;
    if (dv.size() < frameSize * frames) return {};
    dv.resize(frameSize * frames);
    return dv;
}

// The frames with their audio rewritten at another rate and quantization.
Bytes Resound(Bytes dv, int rate, pdv::Quantization quantization) {
    for (std::size_t at = 0; at + pdv::kFrameSize525 <= dv.size(); at += pdv::kFrameSize525) {
        const int pairs = pdv::LockedSamplesInFrame(pdv::System::Ntsc525, rate,
                                                    std::int64_t(at / pdv::kFrameSize525));
        std::vector<std::int16_t> pcm(std::size_t(pairs) * 2);
        for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = std::int16_t((i * 37) % 4000 - 2000);
        pdv::WriteAudio(dv.data() + at, pdv::kFrameSize525, {rate, quantization, true}, pcm.data(),
                        std::size_t(pairs), std::size_t(pairs));
    }
    return dv;
}

// The frames as an AVI file of ffmpeg's (the DV frames whole, in the video stream).
Bytes MakeAvi(const fs::path& folder, const std::string& name, const Bytes& dv) {
    const fs::path raw = folder / (name + ".dv"), avi = folder / (name + ".avi");
    WriteBytes(raw, dv);
    Run("ffmpeg -nostdin -y -i '" + raw.string() + "' -map 0:v -c:v copy -f avi '" + avi.string() +
        "'");
    return ReadBytes(avi);
}

void DvSeeds(const fs::path& folder) {
    const Bytes ntsc = MakeDv(folder, false, 2), pal = MakeDv(folder, true, 1);
    if (ntsc.empty()) return;
    const Bytes frame(ntsc.begin(), ntsc.begin() + pdv::kFrameSize525);
    const Bytes audio32 = Resound(ntsc, 32000, pdv::Quantization::Nonlinear12);
    const Bytes audio44 = Resound(ntsc, 44100, pdv::Quantization::Linear16);
    // dv-pack-fuzz: four control bytes (capacity, system and write choice, counts), then the
    // first DIF sequence of a frame (header, subcode, VAUX and audio blocks, whose packs the
    // code reads), which the target repeats over a whole frame.
    auto sequence = [](const Bytes& dv) { return Bytes(dv.begin(), dv.begin() + 12000); };
    Seed("dv-pack-fuzz", "ntsc48", Concat({{0xF3, 0x00, 150, 2}, sequence(frame)}));
    Seed("dv-pack-fuzz", "ntsc32", Concat({{0x80, 0x0A, 20, 1}, sequence(audio32)}));
    Seed("dv-pack-fuzz", "ntsc44", Concat({{0x40, 0x02, 113, 0}, sequence(audio44)}));
    // frame-analysis-fuzz: two control bytes (system, losses and the byte flipped), then the
    // first DIF sequence of a frame, repeated by the target.
    Seed("frame-analysis-fuzz", "ntsc48", Concat({{0x00, 0x03}, sequence(frame)}));
    Seed("frame-analysis-fuzz", "ntsc32", Concat({{0x00, 0x10}, sequence(audio32)}));
    if (!pal.empty()) Seed("frame-analysis-fuzz", "pal48", Concat({{0x01, 0x21}, sequence(pal)}));
    if (!pal.empty()) Seed("dv-pack-fuzz", "pal48", Concat({{0xFF, 0x01, 219, 3}, sequence(pal)}));

    // file-reader-fuzz and avi-parser-fuzz: whole AVI files; for the reader, eight control
    // bytes first (access mode, positions, buffers).
    const Bytes avi48 = MakeAvi(folder, "two48", ntsc), avi32 = MakeAvi(folder, "two32", audio32);
    const Bytes avi44 = MakeAvi(folder, "two44", audio44);
    for (const auto& [name, avi] :
         {std::pair{"avi48", avi48}, {"avi32", avi32}, {"avi44", avi44}}) {
        if (avi.empty()) continue;
        Seed("avi-parser-fuzz", name, avi);
        Seed("file-reader-fuzz", std::string(name) + "-frames",
             Concat({{0, 0, 0, 1, 0, 1, 0, 0}, avi}));
        Seed("file-reader-fuzz", std::string(name) + "-audio",
             Concat({{1, 0, 1, 40, 30, 0x30, 0, 0}, avi}));
    }

    // dif-assembler-fuzz: the frames as the isochronous packets a unit sends, in the target's
    // compact form (a count byte, the CIP header, the IDs of the six DIF blocks), and the same
    // with a packet lost on the way.
    Bytes packets, lossy;
    std::uint8_t dbc = 0;
    for (std::size_t at = 0; at < ntsc.size(); at += 480, ++dbc) {
        Bytes packet = {6, 0, 0, 0, 0, 0, 0, 0, 0};
        fw::BuildCip(fw::DvCipHeader(fw::DvSystem::k525_60, 1, dbc), packet.data() + 1);
        for (std::size_t block = 0; block < 6; ++block)
            packet.insert(packet.end(), ntsc.begin() + std::ptrdiff_t(at + block * 80),
                          ntsc.begin() + std::ptrdiff_t(at + block * 80 + 3));
        packets.insert(packets.end(), packet.begin(), packet.end());
        if (at / 480 != 40) lossy.insert(lossy.end(), packet.begin(), packet.end());
    }
    Seed("dif-assembler-fuzz", "two-frames", packets);
    Seed("dif-assembler-fuzz", "lost-packet", lossy);
}

Bytes FromHex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    std::string token;
    while (in >> token) bytes.push_back(std::uint8_t(std::stoul(token, nullptr, 16)));
    return bytes;
}

// The jog controller's descriptor, as Pelko's tests describe it.
const Bytes kController = FromHex(
    "05 0C 09 01 A1 01 85 01 05 09 19 01 29 0E 15 00 25 01 75 01 95 0E 81 02 75 02 95 01 81 03"
    " 85 02 05 01 09 37 15 81 25 7F 75 08 95 01 81 06 85 03 06 00 FF 0A 00 02 15 00 26 FF 00"
    " 75 08 95 01 B1 02 C0");

void HidSeeds(const fs::path& testdata) {
    auto descriptorSeed = [](const std::string& name, Bytes descriptor, const Bytes& reports) {
        const std::size_t quads = (descriptor.size() + 3) / 4;
        descriptor.resize(quads * 4, 0);  // an unused tail of zeros: "main item, no data"
        if (quads > 255) return;
        Seed("hid-descriptor-fuzz", name, Concat({{std::uint8_t(quads)}, descriptor, reports}));
    };
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(testdata, ec)) {
        if (entry.path().extension() != ".hex") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        descriptorSeed(entry.path().stem().string(), FromHex(text.str()), Bytes(16, 0x5A));
    }
    descriptorSeed("jog-controller", kController, {1, 0x10, 0x00, 2, 0x01});
    // hid-report-fuzz: the controller's own reports (keys down and up, jog steps), then the
    // same against a real media-key receiver's descriptor brought by the input.
    const Bytes reports = {3, 1,    0x10, 0x00, 3,    1, 0x00, 0x00, 3,    1, 0x08, 0x04, 2,
                           2, 0x01, 2,    2,    0xFF, 3, 1,    0xFF, 0x3F, 2, 3,    0x05};
    Seed("hid-report-fuzz", "controller", Concat({{0}, reports}));
    std::ifstream in(testdata / "046D_C52F_0001_000C.hex");
    std::stringstream text;
    text << in.rdbuf();
    Bytes receiver = FromHex(text.str());
    if (!receiver.empty() && receiver.size() % 2 == 0 && receiver.size() / 2 <= 255)
        Seed("hid-report-fuzz", "receiver",
             Concat({{1, std::uint8_t(receiver.size() / 2)}, receiver, reports}));
}

// The value files that the bridge module writes when it registers itself.
void RegistrySeeds(const fs::path& folder, const fs::path& bridge) {
    const fs::path registry = folder / "registry";
    ::setenv("VELMORA_REGISTRY", registry.c_str(), 1);
    if (void* module = ::dlopen(bridge.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        using Register = HRESULT (*)();
        if (auto reg = reinterpret_cast<Register>(::dlsym(module, "DllRegisterServer"))) reg();
    }
    int n = 0;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(registry, ec))
        if (entry.is_regular_file() && entry.path().filename().string().rfind("@", 0) == 0)
            Seed("registry-value-fuzz", "value" + std::to_string(n++), ReadBytes(entry.path()));
}

Bytes Message(deck::Message type, const Bytes& payload) {
    Bytes out(8 + payload.size());
    const std::uint32_t fields[2] = {std::uint32_t(type), std::uint32_t(payload.size())};
    for (int f = 0; f < 2; ++f)
        for (int i = 0; i < 4; ++i) out[4 * f + i] = std::uint8_t(fields[f] >> (8 * i));
    std::copy(payload.begin(), payload.end(), out.begin() + 8);
    return out;
}

// The virtual deck's answers to what the device filter asks, and conversations over its socket
// in both directions.
void DeckSeeds(const fs::path& folder) {
    const std::string tapePath = (folder / "tape.dv").string();
    std::string error;
    if (!vdeck::MakeSampleTape(tapePath, 1, 48000, &error)) return;
    vdeck::Deck player(vdeck::Tape::Open(tapePath, &error), "Seed deck");
    auto answer = [&player](const Bytes& command) {
        auto answers = player.HandleAvc(command);
        return answers.empty() ? Bytes{} : answers.back();
    };
    // avc-answer-fuzz: the answers in the order the target asks (transport state, eight
    // transport commands, state, subunit info, time code, a raw state query).
    const Bytes state = {0x01, 0x20, 0xD0, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF};
    Bytes script;
    auto add = [&script](const Bytes& a) {
        script.push_back(0);
        script.push_back(std::uint8_t(a.size()));
        script.insert(script.end(), a.begin(), a.end());
    };
    add(answer(state));
    for (Bytes command : {Bytes{0x00, 0x20, 0xC3, 0x75}, Bytes{0x00, 0x20, 0xC4, 0x60},
                          Bytes{0x00, 0x20, 0xC3, 0x7D}, Bytes{0x00, 0x20, 0xC4, 0x75},
                          Bytes{0x00, 0x20, 0xC4, 0x65}, Bytes{0x00, 0x20, 0xC2, 0x75},
                          Bytes{0x00, 0x20, 0xC3, 0x30}, Bytes{0x00, 0x20, 0xC3, 0x4F}})
        add(answer(command));
    add(answer(state));
    add(answer({0x01, 0xFF, 0x31, 0x07, 0xFF, 0xFF, 0xFF, 0xFF}));
    player.Tick();
    add(answer({0x01, 0x20, 0x51, 0x71, 0xFF, 0xFF, 0xFF, 0xFF}));
    add(answer(state));
    Seed("avc-answer-fuzz", "virtual-deck", script);

    // deck-protocol-fuzz, a deck talking (first byte even): its greeting, an answer to the
    // first command, a frame and a receipt.
    player.HandleAvc({0x00, 0x20, 0xC3, 0x75});
    const auto frame = player.Tick();
    const Bytes name = {'S', 'e', 'e', 'd'};
    Bytes reply = {1, 0, 0, 0};
    const Bytes stateAnswer = answer(state);
    reply.insert(reply.end(), stateAnswer.begin(), stateAnswer.end());
    Seed("deck-protocol-fuzz", "deck-answers",
         Concat({{0},
                 Message(deck::Message::kHello, name),
                 Message(deck::Message::kAvcResponse, reply)}));
    if (frame)
        Seed("deck-protocol-fuzz", "deck-streams",
             Concat({{0},
                     Message(deck::Message::kHello, name),
                     Message(deck::Message::kFrame, *frame),
                     Message(deck::Message::kFrameTaken, {})}));
    // A client talking (first byte odd): control commands, then frames to record.
    Seed("deck-protocol-fuzz", "client-control",
         Concat({{1},
                 Message(deck::Message::kOpenControl, {}),
                 Message(deck::Message::kAvcCommand, {1, 0, 0, 0, 0x00, 0x20, 0xC3, 0x75}),
                 Message(deck::Message::kAvcCommand, Concat({{2, 0, 0, 0}, state})),
                 Message(deck::Message::kAvcCommand,
                         {3, 0, 0, 0, 0x01, 0x20, 0x51, 0x71, 0xFF, 0xFF, 0xFF, 0xFF})}));
    if (frame)
        Seed("deck-protocol-fuzz", "client-records",
             Concat({{1},
                     Message(deck::Message::kAvcCommand, {1, 0, 0, 0, 0x00, 0x20, 0xC2, 0x75}),
                     Message(deck::Message::kFrame, *frame)}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: fuzz-seeds OUT HID_TESTDATA BRIDGE_MODULE\n");
        return 2;
    }
    g_out = argv[1];
    CoInitialize(nullptr);
    char pattern[] = "/tmp/velmora-fuzz-seeds-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const fs::path work(pattern);
    DvSeeds(work);
    HidSeeds(argv[2]);
    RegistrySeeds(work, argv[3]);
    DeckSeeds(work);
    std::error_code ec;
    fs::remove_all(work, ec);
    std::printf("fuzz-seeds: seeds in %s\n", argv[1]);
    return 0;
}
