// velmora-vdeck: a virtual DV tape deck. It plays a tape file (raw NTSC DV frames) to the
// programs that connect to it, follows their transport commands and records what they send.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "vdeck/deck_server.h"
#include "vdeck/tape_maker.h"

namespace {

constexpr const char* kUsage =
    "usage: velmora-vdeck --tape FILE [--name NAME] [--rate N] [--system ntsc|pal]"
    " [--fault FAULT]...\n"
    "       velmora-vdeck --make-tape FILE --seconds N [--audio 48k|32k] [--system ntsc|pal]\n"
    "       velmora-vdeck --make-tape FILE --recording SECONDS[,DATE[,TIMECODE]]...\n"
    "                     [--audio 48k|32k] [--system ntsc|pal]\n"
    "A virtual DV tape deck: plays the tape file (raw DV frames, sent bit for bit) to the\n"
    "programs that connect to it, follows their transport commands and records what they send.\n"
    "--make-tape writes a test-pattern tape: one recording of --seconds, or one recording per\n"
    "--recording, each with its recording date (YYYY-MM-DDTHH:MM:SS) and starting time code\n"
    "(HH:MM:SS:FF) and its first frame flagged as a recording's start. Ctrl-C ends a running\n"
    "deck.\n"
    "faults: no-cassette, reject, busy, silent, slow=MS, interim, drop=N, damage=N,\n"
    "        only=C375,C460,5171 (the commands implemented, opcode and operand)\n"
    "faults at tape frames (F: the tape frame, counted from 0):\n"
    "        sta=F:STA[:BLOCKS[:COUNT]]  BLOCKS (30) video blocks with error status STA (1-15)\n"
    "                                    in COUNT (1) frames from F\n"
    "        audio-error=F[:BLOCKS[:COUNT]]  BLOCKS (9) unreadable audio blocks\n"
    "        tc-jump=F:FRAMES            the time code jumps by FRAMES (negative: back) at F\n"
    "        date-jump=F:SECONDS         the recording date jumps by SECONDS at F\n"
    "        blank=F:COUNT               COUNT frames of blank tape\n"
    "        audio-mode=F:RATE           sound at RATE Hz (48000, 44100, 32000) from F on\n"
    "        link-drop=F[:COUNT]         COUNT (1) frames lost on the link\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// FRAME:A[:B[:C]] after the fault's name: the numbers, at least `least` of them.
bool Numbers(const std::string& text, std::size_t least, std::vector<long long>* out) {
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find(':', at), text.size());
        const std::string part = text.substr(at, end - at);
        char* stop = nullptr;
        const long long value = std::strtoll(part.c_str(), &stop, 10);
        if (part.empty() || *stop != 0) return false;
        out->push_back(value);
        at = end + 1;
    }
    return out->size() >= least && out->size() <= 4 && (*out)[0] >= 0;
}

bool ParseTapeFault(const std::string& text, vdeck::Faults* faults) {
    using Kind = vdeck::TapeFault::Kind;
    static const std::map<std::string, std::pair<Kind, std::size_t>> kNames = {
        {"sta", {Kind::VideoStatus, 2}},      {"audio-error", {Kind::AudioErrors, 1}},
        {"tc-jump", {Kind::TimecodeJump, 2}}, {"date-jump", {Kind::DateJump, 2}},
        {"blank", {Kind::Blank, 2}},          {"audio-mode", {Kind::AudioMode, 2}},
        {"link-drop", {Kind::LinkDrop, 1}}};
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) return false;
    const auto found = kNames.find(text.substr(0, equals));
    std::vector<long long> n;
    if (found == kNames.end() || !Numbers(text.substr(equals + 1), found->second.second, &n))
        return false;
    vdeck::TapeFault fault{found->second.first, n[0]};
    auto at = [&](std::size_t i, long long fallback) { return i < n.size() ? n[i] : fallback; };
    switch (fault.kind) {
        case Kind::VideoStatus:
            fault.value = n[1];
            fault.blocks = static_cast<int>(at(2, 30));
            fault.count = at(3, 1);
            if (fault.value < 1 || fault.value > 15) return false;
            break;
        case Kind::AudioErrors:
            fault.blocks = static_cast<int>(at(1, 9));
            fault.count = at(2, 1);
            break;
        case Kind::TimecodeJump:
        case Kind::DateJump:
            fault.value = n[1];
            fault.count = 0;
            break;
        case Kind::Blank:
            fault.count = n[1];
            break;
        case Kind::AudioMode:
            fault.value = n[1];
            if (fault.value != 48000 && fault.value != 44100 && fault.value != 32000) return false;
            break;
        case Kind::LinkDrop:
            fault.count = at(1, 1);
            break;
    }
    faults->tape.push_back(fault);
    return true;
}

bool ParseFault(const std::string& text, vdeck::Faults* faults) {
    auto number = [&](const char* prefix) { return std::atoi(text.c_str() + std::strlen(prefix)); };
    if (text == "no-cassette")
        faults->noCassette = true;
    else if (text == "reject")
        faults->rejectAll = true;
    else if (text == "busy")
        faults->outputInUse = true;
    else if (text == "silent")
        faults->silent = true;
    else if (text == "interim")
        faults->interim = true;
    else if (text.rfind("slow=", 0) == 0)
        faults->slowAnswerMs = number("slow=");
    else if (text.rfind("drop=", 0) == 0)
        faults->dropEvery = number("drop=");
    else if (text.rfind("damage=", 0) == 0)
        faults->damageEvery = number("damage=");
    else if (text.rfind("only=", 0) == 0) {
        // only=C375,C460,5171: the deck implements just these commands
        std::set<std::uint16_t> commands;
        for (std::size_t at = 5; at < text.size(); at += 5)
            commands.insert(
                static_cast<std::uint16_t>(std::strtoul(text.substr(at, 4).c_str(), nullptr, 16)));
        faults->onlyImplemented = commands;
    } else
        return ParseTapeFault(text, faults);
    return true;
}

// SECONDS[,YYYY-MM-DDTHH:MM:SS[,HH:MM:SS:FF]]
bool ParseRecording(const std::string& text, bool pal, vdeck::TapeRecording* recording) {
    const std::size_t comma = text.find(',');
    recording->seconds = std::atof(text.substr(0, comma).c_str());
    if (recording->seconds <= 0) return false;
    if (comma == std::string::npos) return true;
    const std::string rest = text.substr(comma + 1);
    const std::size_t second = rest.find(',');
    const std::string date = rest.substr(0, second);
    if (std::sscanf(date.c_str(), "%d-%d-%dT%d:%d:%d", &recording->year, &recording->month,
                    &recording->day, &recording->hour, &recording->minute, &recording->second) != 6)
        return false;
    if (second == std::string::npos) return true;
    int h = 0, m = 0, s = 0, f = 0;
    if (std::sscanf(rest.c_str() + second + 1, "%d:%d:%d%*[:;]%d", &h, &m, &s, &f) != 4)
        return false;
    // The label count of HH:MM:SS:FF: 25 a second, or 30 with drop-frame's skipped labels.
    const std::int64_t minutes = 60 * h + m;
    recording->timecode = (minutes * 60 + s) * (pal ? 25 : 30) + f;
    if (!pal) recording->timecode -= 2 * (minutes - minutes / 10);
    return true;
}

int MakeTape(const std::string& path, int seconds, const std::vector<std::string>& recordings,
             const std::string& audio, const std::string& system) {
    if ((seconds <= 0 && recordings.empty()) || (audio != "48k" && audio != "32k") ||
        (system != "ntsc" && system != "pal"))
        return Usage();
    std::string error;
    const auto dvSystem =
        system == "pal" ? platform::dv::System::Pal625 : platform::dv::System::Ntsc525;
    const int rate = audio == "32k" ? 32000 : 48000;
    std::vector<vdeck::TapeRecording> parsed;
    for (const auto& text : recordings) {
        vdeck::TapeRecording recording;
        if (!ParseRecording(text, system == "pal", &recording)) return Usage();
        parsed.push_back(recording);
    }
    const bool made = parsed.empty() ? vdeck::MakeSampleTape(path, seconds, rate, &error, dvSystem)
                                     : vdeck::MakeTape(path, parsed, rate, &error, dvSystem);
    if (!made) {
        std::fprintf(stderr, "velmora-vdeck: cannot make the tape %s: %s\n", path.c_str(),
                     error.c_str());
        return 1;
    }
    if (parsed.empty())
        std::printf("velmora-vdeck: wrote %d seconds of tape to %s\n", seconds, path.c_str());
    else
        std::printf("velmora-vdeck: wrote %zu recordings to %s\n", parsed.size(), path.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string tapePath, makeTape, name, audio = "48k", system = "ntsc";
    int seconds = 0;
    std::vector<std::string> recordings;
    double rate = 1.0;
    vdeck::Faults faults;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--tape" && (v = value()))
            tapePath = v;
        else if (arg == "--make-tape" && (v = value()))
            makeTape = v;
        else if (arg == "--name" && (v = value()))
            name = v;
        else if (arg == "--recording" && (v = value()))
            recordings.push_back(v);
        else if (arg == "--seconds" && (v = value()))
            seconds = std::atoi(v);
        else if (arg == "--audio" && (v = value()))
            audio = v;
        else if (arg == "--system" && (v = value()))
            system = v;
        else if (arg == "--rate" && (v = value()))
            rate = std::atof(v);
        else if (arg == "--fault" && (v = value())) {
            if (!ParseFault(v, &faults)) return Usage();
        } else
            return Usage();
    }
    if (!makeTape.empty()) return MakeTape(makeTape, seconds, recordings, audio, system);
    if (tapePath.empty() || rate <= 0) return Usage();

    std::string error;
    auto tape = vdeck::Tape::Open(tapePath, &error);
    if (!tape) {
        std::fprintf(stderr, "velmora-vdeck: %s\n", error.c_str());
        return 1;
    }
    if (name.empty()) name = "Virtual Deck " + std::filesystem::path(tapePath).stem().string();

    // Signals are taken by this thread alone, so block them before any thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // --system says what a blank tape is; a recorded tape is of the system it holds.
    auto deck = std::make_shared<vdeck::Deck>(
        std::move(tape), name,
        system == "pal" ? platform::dv::System::Pal625 : platform::dv::System::Ntsc525);
    deck->SetFaults(faults);
    vdeck::DeckServer server(deck, vdeck::DeckServer::DefaultSocketPath(name), rate);
    if (!server.Start(&error)) {
        std::fprintf(stderr, "velmora-vdeck: %s\n", error.c_str());
        return 1;
    }
    std::printf("velmora-vdeck: \"%s\" is ready with %lld frames of tape\n", name.c_str(),
                static_cast<long long>(deck->FrameCount()));
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    server.Stop();
    return 0;
}
