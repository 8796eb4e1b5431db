#pragma once
// The capture family against virtual decks run in the test process: a window that collects the
// deck events, decks of either DV system, and checks of recorded files against the tape.

#include <gtest/gtest.h>

#include <QWidget>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/com/com.h"
#include "platform/dv/dif.h"
#include "platform/dv/subcode.h"
#include "platform/media/ext_device.h"
#include "platform/user/window.h"
#include "tests/support/dv_media.h"
#include "tests/support/qt_main.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_filters.h"
#include "toolkit/capture/dv_capture.h"
#include "toolkit/tovik.h"
#include "vdeck/deck_server.h"
#include "vdeck/tape_maker.h"

namespace capture_test {

using namespace std::chrono_literals;
using velmora::test::ProcessEventsUntil;
using Bytes = std::vector<std::uint8_t>;
using platform::dv::System;

constexpr UINT kDeckEvent = WM_USER + 100;

// Collects the deck events posted to it.
class NotifyWindow : public QWidget {
  public:
    std::vector<std::pair<WPARAM, LPARAM>> events;

  protected:
    bool event(QEvent* e) override {
        if (e->type() != WindowMessageEvent::EventType()) return QWidget::event(e);
        auto* m = static_cast<WindowMessageEvent*>(e);
        if (m->message == kDeckEvent) events.emplace_back(m->wParam, m->lParam);
        return true;
    }
};

class CaptureDeck : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        ASSERT_TRUE(velmora::test::RegisterBridge());
        params_.size = 28;
        params_.notifyFlags = 1;
        params_.notifyWindow = platform::HwndFromWidget(&window_);
        params_.notifyMessage = kDeckEvent;
        params_.ownerWindow = params_.notifyWindow;
    }
    void TearDown() override {
        if (handle_) Tovik_Close(handle_);
        servers_.clear();
        CoUninitialize();
    }

    std::shared_ptr<vdeck::Deck> StartDeck(const std::string& name, int seconds = 2,
                                           double rate = 1.0, System system = System::Ntsc525,
                                           int sampleRate = 48000) {
        auto path = runtime_.Path() / (name + ".dv");
        std::string error;
        EXPECT_TRUE(vdeck::MakeSampleTape(path.string(), seconds, sampleRate, &error, system))
            << error;
        return StartDeckWith(name, path, rate, system);
    }
    std::shared_ptr<vdeck::Deck> StartDeckWith(const std::string& name,
                                               const std::filesystem::path& path, double rate,
                                               System system) {
        std::string error;
        tapePath_ = path;
        tape_ = velmora::test::ReadFileBytes(path);
        frameSize_ = system == System::Pal625 ? 144000 : 120000;
        auto deck =
            std::make_shared<vdeck::Deck>(vdeck::Tape::Open(path.string(), &error), name, system);
        servers_.push_back(std::make_unique<vdeck::DeckServer>(
            deck, vdeck::DeckServer::DefaultSocketPath(name), rate));
        EXPECT_TRUE(servers_.back()->Start(&error)) << error;
        return deck;
    }
    void Open(std::uint32_t flags, int index = 0) {
        handle_ = Tovik_Open(index, flags, &params_);
        ASSERT_NE(handle_, nullptr) << "error " << Tovik_GetError(nullptr);
    }
    // Tape frames by their subcode time code.
    std::map<std::uint32_t, std::size_t> TapeByTimecode() {
        std::map<std::uint32_t, std::size_t> index;
        for (std::size_t n = 0; (n + 1) * frameSize_ <= tape_.size(); ++n) {
            auto pack = platform::dv::FindSubcodePack(tape_.data() + n * frameSize_, frameSize_,
                                                      platform::dv::kPackTimecode);
            if (pack) index[platform::dv::TimecodeFromPack(*pack)] = n;
        }
        return index;
    }
    // Every frame of a recorded file, read back through the AVI Splitter.
    Bytes FramesOf(const std::filesystem::path& avi) {
        Bytes all;
        for (auto& frame : velmora::test::ReadAviStream(avi.string()))
            all.insert(all.end(), frame.begin(), frame.end());
        return all;
    }
    // Every frame recorded is a frame of the tape, byte for byte.
    void ExpectFramesFromTape(const Bytes& frames) {
        auto index = TapeByTimecode();
        const std::size_t size = frameSize_;
        ASSERT_EQ(frames.size() % size, 0u);
        for (std::size_t i = 0; i * size < frames.size(); ++i) {
            const std::uint8_t* frame = frames.data() + i * size;
            auto pack = platform::dv::FindSubcodePack(frame, size, platform::dv::kPackTimecode);
            ASSERT_TRUE(pack) << i;
            auto at = index.find(platform::dv::TimecodeFromPack(*pack));
            ASSERT_NE(at, index.end()) << i;
            ASSERT_TRUE(std::equal(frame, frame + size, tape_.begin() + at->second * size))
                << "frame " << i;
        }
    }
    void Wait(std::chrono::milliseconds time) {
        ProcessEventsUntil([] { return false; }, time);
    }
    // ffmpeg's decode of a frame of the tape, rows turned bottom-up as a BMP stores them.
    Bytes ReferencePicture(std::int64_t frame) {
        auto raw = runtime_.Path() / "reference.bgr";
        velmora::test::RunCommand("ffmpeg -nostdin -v error -i '" + tapePath_.string() +
                                  "' -vf 'select=eq(n\\," + std::to_string(frame) +
                                  "),vflip' -vframes 1 -pix_fmt bgr24 -f rawvideo -y '" +
                                  raw.string() + "'");
        return velmora::test::ReadFileBytes(raw);
    }
    bool HasEvent(WPARAM wanted, LPARAM* param = nullptr) const {
        for (auto& [code, value] : window_.events) {
            if (code != wanted) continue;
            if (param) *param = value;
            return true;
        }
        return false;
    }
    static std::uint32_t Le32(const Bytes& file, std::size_t at) {
        return velmora::test::Le32At(file, at);
    }
    static std::size_t FramesOnDisk(const Bytes& file) {
        return velmora::test::AviFramesOnDisk(file);
    }
    std::size_t ProbedFrames(const std::filesystem::path& path) {
        return velmora::test::ProbedVideoFrames(path);
    }
    bool GraphRunning() const {
        IMediaControl* control = nullptr;
        if (FAILED(handle_->Graph()->QueryInterface(IID_IMediaControl,
                                                    reinterpret_cast<void**>(&control))))
            return false;
        OAFilterState state = State_Stopped;
        control->GetState(1000, &state);
        control->Release();
        return state == State_Running;
    }

    velmora::test::TempRegistry registry_;
    velmora::test::TempDir runtime_;
    NotifyWindow window_;
    TovikOpenParams params_{};
    TovikCaptureHandle handle_ = nullptr;
    std::vector<std::unique_ptr<vdeck::DeckServer>> servers_;
    std::filesystem::path tapePath_;
    Bytes tape_;
    std::size_t frameSize_ = 120000;
};

}  // namespace capture_test
