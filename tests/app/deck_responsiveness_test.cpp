// The window stays responsive whatever the deck does: against a velmora-vdeck that answers no
// AV/C command at all, where each command waits out its whole time-out, a whole session of
// connecting, playing, reading timecode, winding, stopping and disconnecting never keeps the
// event loop from running for long.

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

#include "tests/app/deck_program_fixture.h"

namespace velmora::test {
namespace {

namespace ids = app;

// The longest stretch the event loop may be held up. Under a sanitizer everything runs several
// times slower, so the bound there only separates "no device call on this thread" from "a
// device call on this thread" (an unanswered AV/C command takes 400 ms).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr qint64 kLongestGapMs = 300;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr qint64 kLongestGapMs = 300;
#else
constexpr qint64 kLongestGapMs = 100;
#endif
#else
constexpr qint64 kLongestGapMs = 100;
#endif

// A timer that fires as often as it can and remembers the longest time between two firings:
// how long the event loop was held up (a handler run outside the loop, like a test's click,
// counts too, since the loop cannot run meanwhile).
class EventLoopGaps {
  public:
    EventLoopGaps() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout,
                         [this] { longest_ = std::max(longest_, clock_.restart()); });
        clock_.start();
        timer_.start(2);
    }
    // The stretch since the last firing counts too: the loop may not have run since.
    qint64 LongestMs() const { return std::max(longest_, clock_.elapsed()); }

  private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

class SilentDeck : public DeckProgramTest {
  protected:
    void SetUp() override {
        DeckProgramTest::SetUp();
        StartDeckProgram(2, {"--fault", "silent"});
    }
};

TEST_F(SilentDeck, TheWindowNeverWaitsForTheDeck) {
    EventLoopGaps gaps;
    Connect();  // the open itself waits out one time-out
    Click(ids::kIdPlay);
    // The reads fail one after the other; the display says so.
    EXPECT_TRUE(ProcessEventsUntil(
        [&] { return Text(ids::kIdTimecode) == QStringLiteral("! --:--:--.--"); }));
    Wait(std::chrono::milliseconds(1000));
    QTest::mousePress(Button(ids::kIdFastForward), Qt::LeftButton);
    QTest::mouseRelease(Button(ids::kIdFastForward), Qt::LeftButton);
    QTest::keyClick(Combo(), Qt::Key_Down);
    Click(ids::kIdNextFrame);
    Click(ids::kIdStop);
    PostMessage(platform::HwndFromWidget(window_.get()), app::WM_JOG_NOTIFY, 0x3000, 1);
    Wait(std::chrono::milliseconds(100));
    Click(ids::kIdConnect);
    EXPECT_FALSE(window_->Connected());
    Settle();  // every command has waited out its time-out on the worker
    RecordProperty("longest_gap_ms", static_cast<int>(gaps.LongestMs()));
    EXPECT_LT(gaps.LongestMs(), kLongestGapMs);

    // Reconnecting after all that works as the first time did.
    Connect();
    Click(ids::kIdConnect);
    Settle();
    RecordProperty("longest_gap_ms", static_cast<int>(gaps.LongestMs()));
    EXPECT_LT(gaps.LongestMs(), kLongestGapMs);
}

// Closing the window while the deck is still being opened does not wait for the open, and
// destroying it then neither hangs nor leaves the deck open: the worker finishes the open, the
// window's thread lets the preview window calls through meanwhile, and the worker closes the
// deck before it ends.
TEST_F(SilentDeck, ClosingWhileTheDeckOpensLeavesNothingOpen) {
    EventLoopGaps gaps;
    Click(ids::kIdConnect);
    ASSERT_TRUE(window_->Connecting());
    prompts_.answers.push_back(app::PromptAnswer::kYes);
    Click(ids::kIdExit);
    EXPECT_FALSE(window_->isVisible());
    EXPECT_FALSE(window_->Connecting());
    EXPECT_FALSE(window_->Connected());
    RecordProperty("longest_gap_ms", static_cast<int>(gaps.LongestMs()));
    EXPECT_LT(gaps.LongestMs(), kLongestGapMs);
    window_.reset();

    // A new window connects as the first would have.
    window_ = std::make_unique<app::CDeckDlg>();
    window_->show();
    Connect();
    Click(ids::kIdConnect);
    Settle();
}

}  // namespace
}  // namespace velmora::test
