// velmora-vdeck: a virtual DV tape deck. It plays a tape file (raw NTSC DV frames) to the
// programs that connect to it, follows their transport commands and records what they send.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "vdeck/deck_server.h"
#include "vdeck/tape_maker.h"

namespace {

constexpr const char* kUsage =
    "usage: velmora-vdeck --tape FILE [--name NAME] [--rate N] [--system ntsc|pal]"
    " [--fault FAULT]...\n"
    "       velmora-vdeck --make-tape FILE --seconds N [--audio 48k|32k] [--system ntsc|pal]\n"
    "A virtual DV tape deck: plays the tape file (raw DV frames) to the programs that connect\n"
    "to it, follows their transport commands and records what they send. --make-tape writes a\n"
    "test-pattern tape. Ctrl-C ends a running deck.\n"
    "faults: no-cassette, reject, busy, silent, slow=MS, interim, drop=N, damage=N,\n"
    "        only=C375,C460,5171 (the commands implemented, opcode and operand)\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
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
        return false;
    return true;
}

int MakeTape(const std::string& path, int seconds, const std::string& audio,
             const std::string& system) {
    if (seconds <= 0 || (audio != "48k" && audio != "32k") || (system != "ntsc" && system != "pal"))
        return Usage();
    std::string error;
    const auto dvSystem =
        system == "pal" ? platform::dv::System::Pal625 : platform::dv::System::Ntsc525;
    if (!vdeck::MakeSampleTape(path, seconds, audio == "32k" ? 32000 : 48000, &error, dvSystem)) {
        std::fprintf(stderr, "velmora-vdeck: cannot make the tape %s: %s\n", path.c_str(),
                     error.c_str());
        return 1;
    }
    std::printf("velmora-vdeck: wrote %d seconds of tape to %s\n", seconds, path.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string tapePath, makeTape, name, audio = "48k", system = "ntsc";
    int seconds = 0;
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
    if (!makeTape.empty()) return MakeTape(makeTape, seconds, audio, system);
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
