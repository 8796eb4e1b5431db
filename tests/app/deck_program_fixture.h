#pragma once
// The real main window against velmora-vdeck running as its own process.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/app/deck_window_fixture.h"
#include "tests/support/dv_media.h"

extern char** environ;

namespace velmora::test {

// A program run in the background, killed and reaped when the object goes.
class Process {
  public:
    explicit Process(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    }
    ~Process() { Kill(); }
    bool Running() const { return pid_ > 0; }
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

class DeckProgramTest : public DeckWindowTest {
  protected:
    // Makes a tape of that many seconds and starts velmora-vdeck with it and the options given
    // (--fault silent, --rate 2, ...); returns once the deck can be found.
    void StartDeckProgram(int seconds, const std::vector<std::string>& options = {}) {
        tapePath_ = runtime_.Path() / "tape.dv";
        ASSERT_EQ(RunCommand(std::string(VDECK_PATH) + " --make-tape '" + tapePath_.string() +
                             "' --seconds " + std::to_string(seconds) + " > /dev/null"),
                  0);
        std::vector<std::string> args{VDECK_PATH, "--tape", tapePath_.string(), "--name",
                                      "Program Deck"};
        args.insert(args.end(), options.begin(), options.end());
        deck_ = std::make_unique<Process>(args);
        ASSERT_TRUE(deck_->Running());
        const auto socket = runtime_.Path() / "velmora" / "decks";
        ASSERT_TRUE(ProcessEventsUntil([&] {
            std::error_code ignored;
            return std::filesystem::exists(socket, ignored) &&
                   !std::filesystem::is_empty(socket, ignored);
        }));
    }

    std::filesystem::path tapePath_;
    std::unique_ptr<Process> deck_;
};

}  // namespace velmora::test
