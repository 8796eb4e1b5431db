// The main window against in-process virtual decks: layout, connection, transport, timecode,
// record names, the jog controller and leaving.

#include <QMenu>
#include <QRegularExpression>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "app/dialog_units.h"
#include "app/hold_button.h"
#include "app/strings.h"
#include "jog/pelko.h"
#include "platform/media/ext_device.h"
#include "tests/app/deck_window_fixture.h"
#include "vdeck/deck_server.h"
#include "vdeck/tape_maker.h"

namespace velmora::test {
namespace {

using app::PromptAnswer;
using app::PromptIcon;
namespace ids = app;

constexpr std::uint8_t kPlay = 0xC3, kWind = 0xC4;

class DeckWindow : public DeckWindowTest {
  protected:
    void TearDown() override {
        DeckWindowTest::TearDown();
        servers_.clear();
    }

    std::shared_ptr<vdeck::Deck> StartDeck(const vdeck::Faults& faults = {}) {
        auto path = runtime_.Path() / "tape.dv";
        std::string error;
        if (!std::filesystem::exists(path)) {
            EXPECT_TRUE(vdeck::MakeSampleTape(path.string(), 2, 48000, &error)) << error;
        }
        auto deck = std::make_shared<vdeck::Deck>(vdeck::Tape::Open(path.string(), &error), "Deck");
        deck->SetFaults(faults);
        servers_.push_back(std::make_unique<vdeck::DeckServer>(
            deck, vdeck::DeckServer::DefaultSocketPath("Deck"), 1.0));
        EXPECT_TRUE(servers_.back()->Start(&error)) << error;
        return deck;
    }

    // Where each strip control sits relative to the separator.
    std::map<int, QRect> StripPlaces() {
        std::map<int, QRect> places;
        QPoint origin = Item(ids::kIdSeparator)->geometry().topLeft();
        for (const auto& t : app::MainWindowControls())
            places[t.id] = Item(t.id)->geometry().translated(-origin);
        return places;
    }

    std::vector<std::unique_ptr<vdeck::DeckServer>> servers_;
};

TEST_F(DeckWindow, StartsFromTheTemplate) {
    // Noto Sans CJK JP at 9 points gives dialog base units of 7 x 17 pixels.
    app::DialogUnits units(app::DialogFont());
    if (QFontInfo(app::DialogFont()).family() == QStringLiteral("Noto Sans CJK JP")) {
        EXPECT_EQ(units.BaseX(), 7);
        EXPECT_EQ(units.BaseY(), 17);
    }
    EXPECT_EQ(window_->size(), QSize(units.X(281), units.Y(145)));
    EXPECT_EQ(window_->windowTitle(), QStringLiteral("Velmora v1.6β2 (Post v.1.7)"));

    const std::map<int, int> tips = {
        {2, 103},    {1000, 102}, {1002, 106}, {1003, 104}, {1004, 105}, {1006, 107},
        {1007, 108}, {1008, 112}, {1009, 113}, {1010, 109}, {1017, 119}, {1011, 115},
        {1012, 110}, {1016, 118}, {1014, 111}, {1015, 116}, {1018, 120}};
    for (const auto& t : app::MainWindowControls()) {
        auto tip = tips.find(t.id);
        EXPECT_EQ(Item(t.id)->toolTip(),
                  tip == tips.end() ? QString() : app::LoadString(tip->second))
            << t.id;
        const bool alwaysOn = t.id == 2 || t.id == 1000 || t.id == 1013 || t.id == 1016 ||
                              t.id == 1017 || t.id == 1019;
        EXPECT_EQ(Item(t.id)->isEnabled(), alwaysOn) << t.id;
    }
    EXPECT_FALSE(Item(ids::kIdUnused)->isVisible());
    EXPECT_TRUE(Item(ids::kIdSaveStill)->isVisible());
    EXPECT_EQ(Combo()->count(), 7);
    EXPECT_EQ(Combo()->currentIndex(), 1);
    EXPECT_EQ(Combo()->currentText(), QStringLiteral("R-HALF(360×240)"));
    EXPECT_EQ(Text(ids::kIdTimecode), QString());
    EXPECT_FALSE(Check(ids::kIdMonitor)->isChecked());
    EXPECT_FALSE(Check(ids::kIdSerial)->isChecked());

    // The displays are black with green-cyan text.
    for (int id : {ids::kIdTimecode, ids::kIdJogStatus}) {
        QPalette palette = Item(id)->palette();
        EXPECT_EQ(palette.color(QPalette::Window), QColor(Qt::black));
        EXPECT_EQ(palette.color(QPalette::WindowText), QColor(64, 255, 192));
    }
    // No caption is cut by its control.
    for (const auto& t : app::MainWindowControls())
        EXPECT_EQ(app::CaptionShortfall(Item(t.id)), 0) << t.id;
}

TEST_F(DeckWindow, SystemMenuOpensTheAboutBox) {
    auto actions = window_->SystemMenu()->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    int separators = 0;
    for (QAction* action : actions) separators += action->isSeparator();
    EXPECT_EQ(separators, 1);
    EXPECT_EQ(actions.back()->text(), app::LoadString(101));

    // Alt+Space opens the menu even with a button focused (Space alone would press it).
    Button(ids::kIdExit)->setFocus();
    QTest::keyClick(Button(ids::kIdExit), Qt::Key_Space, Qt::AltModifier);
    EXPECT_TRUE(window_->SystemMenu()->isVisible());
    window_->SystemMenu()->hide();
    EXPECT_TRUE(prompts_.messages.empty());

    const QSize before = window_->size();
    QString title;
    QTimer::singleShot(100, [&] {
        QWidget* about = QApplication::activeModalWidget();
        ASSERT_NE(about, nullptr);
        title = about->windowTitle();
        QTest::keyClick(about, Qt::Key_Escape);  // Esc ends it like OK
    });
    actions.back()->trigger();
    EXPECT_EQ(title, QStringLiteral("Velmoraのﾊﾞｰｼﾞｮﾝ情報"));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(window_->size(), before);
    EXPECT_TRUE(window_->isVisible());
}

TEST_F(DeckWindow, ConnectingShowsThePreviewAndEveryRelayoutKeepsTheStrip) {
    StartDeck();
    const auto places = StripPlaces();
    const QSize initial = window_->InitialClientSize();
    const int stripHeight = initial.height() - Item(ids::kIdSeparator)->geometry().bottom() - 1;
    Connect();
    SelectSize(4);
    Click(ids::kIdConnect);  // disconnecting leaves the size at "非表示"
    EXPECT_EQ(Combo()->currentIndex(), 0);
    Connect();  // which switches to R-HALF before the picture shows
    EXPECT_EQ(Combo()->currentIndex(), 1);
    EXPECT_EQ(window_->PreviewRect(), QRect((initial.width() - 360) / 2, 5, 360, 240));
    EXPECT_EQ(window_->size(), QSize(initial.width(), 250 + stripHeight));
    EXPECT_EQ(Item(ids::kIdSeparator)->y(), 250);
    ASSERT_NE(Preview(), nullptr);
    EXPECT_TRUE(Preview()->isVisible());
    EXPECT_EQ(Preview()->geometry(), window_->PreviewRect());
    EXPECT_EQ(StripPlaces(), places);
    EXPECT_EQ(Button(ids::kIdConnect)->toolTip(), app::LoadString(117));
    for (int id : {1002, 1003, 1004, 1006, 1007, 1008, 1009, 1011, 1012, 1014})
        EXPECT_TRUE(Item(id)->isEnabled()) << id;
    for (int id : {1010, 1015, 1018}) EXPECT_FALSE(Item(id)->isEnabled()) << id;
    EXPECT_TRUE(ProcessEventsUntil([&] {
        return QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d (DF|NDF|25)$"))
            .match(Text(ids::kIdTimecode))
            .hasMatch();
    }));

    SelectSize(0);  // hidden: the strip starts 10 pixels below the top
    EXPECT_FALSE(Preview()->isVisible());
    EXPECT_EQ(window_->size(), QSize(initial.width(), 10 + stripHeight));
    EXPECT_EQ(Item(ids::kIdSeparator)->y(), 10);
    EXPECT_EQ(StripPlaces(), places);

    SelectSize(6);  // wider than the window: the window grows, the picture starts at 0
    EXPECT_TRUE(Preview()->isVisible());
    EXPECT_EQ(window_->PreviewRect(), QRect(0, 5, 856, 480));
    EXPECT_EQ(Preview()->geometry(), QRect(0, 5, 856, 480));
    EXPECT_EQ(window_->size(), QSize(856, 490 + stripHeight));
    EXPECT_EQ(StripPlaces(), places);  // hidden 1005 moves with the strip too

    SelectSize(2);
    EXPECT_EQ(window_->PreviewRect(), QRect((initial.width() - 320) / 2, 5, 320, 240));
    EXPECT_EQ(window_->width(), initial.width());
}

TEST_F(DeckWindow, FailedConnectsSayWhyAndChangeNothing) {
    PressOn();  // no deck at all
    ASSERT_EQ(prompts_.messages.size(), 1u);
    EXPECT_EQ(prompts_.messages[0].text, QStringLiteral("DV機器が見つかりませんでした。"));
    EXPECT_EQ(prompts_.messages[0].icon, PromptIcon::kError);

    vdeck::Faults busy;
    busy.outputInUse = true;
    StartDeck(busy);
    PressOn();
    ASSERT_EQ(prompts_.messages.size(), 2u);
    EXPECT_EQ(prompts_.messages[1].text,
              QStringLiteral("DV機器と接続できませんでした。デバイスが使用中かもしれません。"));
    EXPECT_FALSE(window_->Connected());
    EXPECT_EQ(window_->CaptureHandle(), nullptr);
    EXPECT_EQ(Button(ids::kIdConnect)->toolTip(), app::LoadString(102));
    for (int id : {1002, 1003, 1004, 1006, 1007, 1008, 1009, 1010, 1012})
        EXPECT_FALSE(Item(id)->isEnabled()) << id;
}

TEST_F(DeckWindow, HoldButtonsReportPressAndReleaseOnce) {
    StartDeck();
    Connect();
    // Watch the messages the buttons send to the window.
    struct Spy : QObject {
        std::vector<std::pair<WPARAM, LPARAM>> seen;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == WindowMessageEvent::EventType()) {
                auto* m = static_cast<WindowMessageEvent*>(e);
                if (m->message == app::WM_HOLD_BUTTON) seen.emplace_back(m->wParam, m->lParam);
            }
            return false;
        }
    } spy;
    window_->installEventFilter(&spy);
    QPushButton* forward = Button(ids::kIdFastForward);
    const WPARAM handle = platform::HwndFromWidget(forward);

    QTest::mousePress(forward, Qt::LeftButton);
    QTest::mouseRelease(forward, Qt::LeftButton);
    // Released far outside the button: the button still has the mouse.
    QTest::mousePress(forward, Qt::LeftButton);
    QTest::mouseRelease(forward, Qt::LeftButton, {}, QPoint(-200, -100));
    using Seen = std::vector<std::pair<WPARAM, LPARAM>>;
    EXPECT_EQ(spy.seen, (Seen{{handle, 1}, {handle, 0}, {handle, 1}, {handle, 0}}));

    // A button disabled while held lets go: its next press is a press again.
    spy.seen.clear();
    QTest::mousePress(forward, Qt::LeftButton);
    forward->setEnabled(false);
    forward->setEnabled(true);
    QTest::mousePress(forward, Qt::LeftButton);
    QTest::mouseRelease(forward, Qt::LeftButton);
    EXPECT_EQ(spy.seen, (Seen{{handle, 1}, {handle, 1}, {handle, 0}}));

    // Keys do not operate them.
    spy.seen.clear();
    forward->setFocus();
    QTest::keyClick(forward, Qt::Key_Space);
    QTest::keyClick(Button(ids::kIdRewind), Qt::Key_Space);
    EXPECT_TRUE(spy.seen.empty());
    window_->removeEventFilter(&spy);
}

TEST_F(DeckWindow, HoldButtonsWindWhileStoppedAndCueWhilePlaying) {
    auto deck = StartDeck();
    Connect();
    auto state = [&] {
        Settle();
        return std::pair(deck->LastCommand().opcode, deck->LastCommand().operand);
    };
    QPushButton* forward = Button(ids::kIdFastForward);
    QPushButton* rewind = Button(ids::kIdRewind);
    using S = std::pair<std::uint8_t, std::uint8_t>;

    QTest::mousePress(forward, Qt::LeftButton);
    EXPECT_EQ(state(), S(kWind, 0x75));
    QTest::mouseRelease(forward, Qt::LeftButton);
    EXPECT_EQ(state(), S(kWind, 0x75));  // winding goes on after the release
    QTest::mousePress(rewind, Qt::LeftButton);
    EXPECT_EQ(state(), S(kWind, 0x65));
    QTest::mouseRelease(rewind, Qt::LeftButton);

    Click(ids::kIdPlay);
    EXPECT_EQ(state(), S(kPlay, 0x75));
    QTest::mousePress(forward, Qt::LeftButton);
    EXPECT_EQ(state(), S(kPlay, 0x3F));  // cue
    QTest::mouseRelease(forward, Qt::LeftButton);
    EXPECT_EQ(state(), S(kPlay, 0x75));

    Click(ids::kIdPause);  // pause keeps the playing flag: the buttons still cue and review
    EXPECT_TRUE(window_->Playing());
    QTest::mousePress(rewind, Qt::LeftButton);
    EXPECT_EQ(state(), S(kPlay, 0x4F));  // review
    QTest::mouseRelease(rewind, Qt::LeftButton);
    EXPECT_EQ(state(), S(kPlay, 0x75));

    Click(ids::kIdNextFrame);  // frame steps leave the playing flag alone
    EXPECT_EQ(state(), S(kPlay, 0x30));
    Click(ids::kIdPreviousFrame);
    EXPECT_EQ(state(), S(kPlay, 0x40));
    EXPECT_TRUE(window_->Playing());

    Click(ids::kIdStop);
    EXPECT_FALSE(window_->Playing());
    EXPECT_EQ(state(), S(kWind, 0x60));
}

TEST_F(DeckWindow, TimecodeText) {
    TovikTimecode timecode{20, 1, 0, 12, 34, 5, 0};
    EXPECT_EQ(app::TimecodeText(1, timecode), QStringLiteral("00:12:34.05 NDF"));
    timecode.format = 0;
    EXPECT_EQ(app::TimecodeText(1, timecode), QStringLiteral("00:12:34.05 DF"));
    timecode.format = 2;
    timecode.hours = 1;
    EXPECT_EQ(app::TimecodeText(1, timecode), QStringLiteral("01:12:34.05 25"));
    EXPECT_EQ(app::TimecodeText(0, timecode), QStringLiteral("! --:--:--.--"));
}

TEST_F(DeckWindow, AFailedTimecodeReadShowsDashesAndKeepsTheConnection) {
    vdeck::Faults noTimecode;
    noTimecode.onlyImplemented = std::set<std::uint16_t>{0xC375, 0xC360, 0xC37D};
    StartDeck(noTimecode);
    Connect();
    EXPECT_TRUE(ProcessEventsUntil(
        [&] { return Text(ids::kIdTimecode) == QStringLiteral("! --:--:--.--"); }));
    EXPECT_TRUE(window_->Connected());
}

TEST_F(DeckWindow, DisconnectStopsShrinksAndForgetsTheRecordFile) {
    auto deck = StartDeck();
    Connect();
    Click(ids::kIdPlay);
    prompts_.files.push_back(QString::fromStdString((runtime_.Path() / "take.avi").string()));
    Click(ids::kIdChooseFile);
    EXPECT_EQ(Text(ids::kIdRecordName),
              QString::fromStdString((runtime_.Path() / "take.avi").string()));
    EXPECT_TRUE(Item(ids::kIdRecord)->isEnabled());
    SelectSize(4);

    Click(ids::kIdConnect);
    EXPECT_FALSE(window_->Connected());
    Settle();
    EXPECT_EQ(deck->State().opcode, kWind);
    EXPECT_EQ(deck->State().operand, 0x60);  // stopped
    EXPECT_EQ(Text(ids::kIdRecordName), QString());
    EXPECT_EQ(Combo()->currentIndex(), 0);
    EXPECT_EQ(Item(ids::kIdSeparator)->y(), 10);
    EXPECT_EQ(Button(ids::kIdConnect)->toolTip(), app::LoadString(102));
    EXPECT_EQ(Button(ids::kIdConnect)->text(), QStringLiteral("ON"));
    for (int id : {1002, 1003, 1004, 1006, 1007, 1008, 1009, 1010, 1011, 1012, 1014, 1015, 1018})
        EXPECT_FALSE(Item(id)->isEnabled()) << id;

    Connect();  // back at R-HALF, still no record file
    EXPECT_EQ(Combo()->currentIndex(), 1);
    EXPECT_FALSE(Item(ids::kIdRecord)->isEnabled());
    EXPECT_FALSE(Item(ids::kIdSaveStill)->isEnabled());
}

TEST_F(DeckWindow, ExitAsksFirstAndDisconnectsOnYes) {
    auto deck = StartDeck();
    Connect();
    Click(ids::kIdPlay);
    QTest::keyClick(window_.get(), Qt::Key_Escape);  // answered No
    ASSERT_EQ(prompts_.messages.size(), 1u);
    EXPECT_EQ(prompts_.messages[0].text, QStringLiteral("終了しますか？"));
    EXPECT_EQ(prompts_.messages[0].icon, PromptIcon::kQuestion);
    EXPECT_TRUE(window_->Connected());
    EXPECT_TRUE(window_->isVisible());

    Combo()->setFocus();
    QTest::keyClick(Combo(), Qt::Key_Return);  // Enter asks the same question
    EXPECT_EQ(prompts_.messages.size(), 2u);
    EXPECT_TRUE(window_->isVisible());
    window_->close();  // and so does the close box
    EXPECT_EQ(prompts_.messages.size(), 3u);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(window_->Connected());

    prompts_.answers.push_back(PromptAnswer::kYes);
    Click(ids::kIdExit);
    EXPECT_FALSE(window_->Connected());
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(window_->result(), QDialog::Rejected);
    Settle();
    EXPECT_EQ(deck->State().operand, 0x60);
}

TEST_F(DeckWindow, TheTitleCountsTheTakesLossesAndKeepsTheLastOnes) {
    vdeck::Faults faults;
    faults.tape.push_back({vdeck::TapeFault::Kind::VideoStatus, 0, 60, 0xA, 20});
    StartDeck(faults);
    Connect();
    const QString caption = QString::fromUtf8(app::text::kWindowCaption);
    EXPECT_EQ(window_->windowTitle(), caption);
    prompts_.files.push_back(QString::fromStdString((runtime_.Path() / "take.avi").string()));
    Click(ids::kIdChooseFile);
    Click(ids::kIdPlay);
    Click(ids::kIdRecord);
    ASSERT_TRUE(window_->Recording());
    // While recording: the time recorded, the frames lost and the damaged ones.
    const QString recording = caption + QStringLiteral(" - 録画中 ");
    ASSERT_TRUE(ProcessEventsUntil(
        [&] {
            const QString title = window_->windowTitle();
            return title.startsWith(recording) && !title.endsWith(QStringLiteral("損傷 0"));
        },
        10s))
        << window_->windowTitle().toStdString();
    Click(ids::kIdRecord);
    // After the take, its losses stay in the title.
    EXPECT_TRUE(window_->windowTitle().startsWith(caption + QStringLiteral(" - 前回の録画: ")))
        << window_->windowTitle().toStdString();
    EXPECT_TRUE(std::filesystem::exists(runtime_.Path() / "take.avi.dvlog.jsonl"));
}

TEST_F(DeckWindow, RecordNamesCountersAndStills) {
    StartDeck();
    Connect();
    const QString folder = QString::fromStdString(runtime_.Path().string());
    prompts_.files.push_back(folder + QStringLiteral("/take.avi"));
    Click(ids::kIdChooseFile);
    ASSERT_EQ(prompts_.fileRequests.size(), 1u);
    EXPECT_EQ(prompts_.fileRequests[0].defaultSuffix, QStringLiteral("avi"));
    EXPECT_TRUE(prompts_.fileRequests[0].confirmOverwrite);
    EXPECT_TRUE(prompts_.fileRequests[0].filter.startsWith(QStringLiteral("AVIファイル(*.avi)")));
    const QString plain = folder + QStringLiteral("/take.avi");
    EXPECT_EQ(window_->RecordFileName(), plain);

    // Numbering off: every take reuses the name; the counter still advances.
    for (int take = 0; take < 2; ++take) {
        Click(ids::kIdRecord);
        EXPECT_TRUE(window_->Recording());
        EXPECT_EQ(Button(ids::kIdRecord)->text(), QStringLiteral("■"));
        EXPECT_EQ(Button(ids::kIdRecord)->toolTip(), app::LoadString(114));
        Click(ids::kIdRecord);
        EXPECT_EQ(Button(ids::kIdRecord)->text(), QStringLiteral("●"));
        EXPECT_EQ(Button(ids::kIdRecord)->toolTip(), app::LoadString(109));
        EXPECT_EQ(window_->RecordFileName(), plain);
    }
    Click(ids::kIdSerial);  // numbering on shows the name with the counter at once
    EXPECT_EQ(Text(ids::kIdRecordName), folder + QStringLiteral("/take0002.avi"));
    Click(ids::kIdSerial);
    EXPECT_EQ(Text(ids::kIdRecordName), plain);
    Click(ids::kIdSerial);
    EXPECT_EQ(window_->SerialCounter(), 2);

    // A new file during a take: counters restart, the take ends into its old file.
    Click(ids::kIdRecord);
    prompts_.files.push_back(folder + QStringLiteral("/next.dvsd"));
    Click(ids::kIdChooseFile);
    EXPECT_EQ(Text(ids::kIdRecordName), folder + QStringLiteral("/next0000.dvsd"));
    Click(ids::kIdRecord);
    EXPECT_EQ(Text(ids::kIdRecordName), folder + QStringLiteral("/next0001.dvsd"));

    // Stills count on their own, from 0000, always .bmp.
    Click(ids::kIdPlay);
    Wait(600ms);
    Click(ids::kIdSaveStill);
    Click(ids::kIdSaveStill);
    EXPECT_EQ(window_->StillCounter(), 2);
    EXPECT_EQ(window_->SerialCounter(), 1);
    for (const char* still : {"next0000.bmp", "next0001.bmp"})
        EXPECT_EQ(std::filesystem::file_size(runtime_.Path() / still), 1036854u) << still;

    // Cancelling the file dialog changes nothing.
    Click(ids::kIdChooseFile);
    EXPECT_EQ(Text(ids::kIdRecordName), folder + QStringLiteral("/next0001.dvsd"));
}

// Numbered names are never typed by the user, so they never replace a file: a later sitting
// that chooses the same name carries on after the takes and stills already there.
TEST_F(DeckWindow, NumberedTakesAndStillsSkipTheFilesOfEarlierSittings) {
    StartDeck();
    Connect();
    Click(ids::kIdPlay);
    const auto folder = runtime_.Path();
    const std::string earlier = "an earlier sitting";
    auto write = [&](const char* name) { std::ofstream(folder / name) << earlier; };
    auto kept = [&](const char* name) {
        auto bytes = ReadFileBytes(folder / name);
        return std::string(bytes.begin(), bytes.end()) == earlier;
    };
    auto isAvi = [&](const char* name) {
        auto bytes = ReadFileBytes(folder / name);
        return bytes.size() > 12 && std::string(bytes.begin(), bytes.begin() + 4) == "RIFF";
    };
    for (const char* name : {"take0000.avi", "take0001.avi", "take0003.avi", "take0000.bmp"})
        write(name);
    const QString base = QString::fromStdString((folder / "take").string());

    prompts_.files.push_back(base + QStringLiteral(".avi"));
    Click(ids::kIdChooseFile);
    Click(ids::kIdSerial);
    EXPECT_EQ(Text(ids::kIdRecordName), base + QStringLiteral("0002.avi"));
    Click(ids::kIdRecord);
    ASSERT_TRUE(window_->Recording());
    Wait(300ms);
    // The running take keeps its name on display, numbering off and on again included.
    Click(ids::kIdSerial);
    Click(ids::kIdSerial);
    EXPECT_EQ(Text(ids::kIdRecordName), base + QStringLiteral("0002.avi"));
    Click(ids::kIdRecord);
    EXPECT_EQ(Text(ids::kIdRecordName), base + QStringLiteral("0004.avi"));
    Wait(600ms);  // the picture is back after the take
    Click(ids::kIdSaveStill);
    EXPECT_EQ(std::filesystem::file_size(folder / "take0001.bmp"), 1036854u);

    // The next sitting: the same name again starts after what is there now.
    prompts_.files.push_back(base + QStringLiteral(".avi"));
    Click(ids::kIdChooseFile);
    EXPECT_EQ(Text(ids::kIdRecordName), base + QStringLiteral("0004.avi"));
    // A file that turns up after the name was shown is skipped as well.
    write("take0004.avi");
    Click(ids::kIdRecord);
    EXPECT_EQ(Text(ids::kIdRecordName), base + QStringLiteral("0005.avi"));
    Wait(300ms);
    Click(ids::kIdRecord);
    Wait(600ms);
    Click(ids::kIdSaveStill);

    for (const char* name :
         {"take0000.avi", "take0001.avi", "take0003.avi", "take0004.avi", "take0000.bmp"})
        EXPECT_TRUE(kept(name)) << name;
    EXPECT_TRUE(isAvi("take0002.avi"));
    EXPECT_TRUE(isAvi("take0005.avi"));
    EXPECT_EQ(std::filesystem::file_size(folder / "take0002.bmp"), 1036854u);
}

TEST_F(DeckWindow, ARefusedStartSaysSoAndLeavesTheWindowAsItWas) {
    StartDeck();
    Connect();
    // A folder that does not exist, and a path longer than the toolkit takes.
    const std::filesystem::path refused[] = {
        runtime_.Path() / "missing" / "take.avi",
        runtime_.Path() / std::string(150, 'a') / std::string(150, 'b') / "take.avi"};
    for (const auto& path : refused) {
        prompts_.messages.clear();
        prompts_.files.push_back(QString::fromStdString(path.string()));
        Click(ids::kIdChooseFile);
        if (!Check(ids::kIdSerial)->isChecked()) Click(ids::kIdSerial);
        Click(ids::kIdRecord);
        EXPECT_FALSE(window_->Recording());
        ASSERT_EQ(prompts_.messages.size(), 1u);
        EXPECT_EQ(prompts_.messages[0].text, QStringLiteral("録画を開始できませんでした。"));
        EXPECT_EQ(prompts_.messages[0].icon, PromptIcon::kError);
        EXPECT_EQ(Button(ids::kIdRecord)->text(), QStringLiteral("●"));
        EXPECT_EQ(Button(ids::kIdRecord)->toolTip(), app::LoadString(109));
        EXPECT_EQ(window_->SerialCounter(), 0);
    }

    // The next press is a start again, and with a usable file it records.
    prompts_.messages.clear();
    prompts_.files.push_back(QString::fromStdString((runtime_.Path() / "take.avi").string()));
    Click(ids::kIdChooseFile);
    Click(ids::kIdRecord);
    EXPECT_TRUE(window_->Recording());
    EXPECT_TRUE(prompts_.messages.empty());
}

// The toolkit's notice that it stopped writing a recording, told in the user's language.
TEST_F(DeckWindow, ARecordingStoppedNoticeSaysWhy) {
    StartDeck();
    Connect();
    const HWND window = platform::HwndFromWidget(window_.get());
    PostMessage(window, app::WM_DECK_EVENT, TOVIK_EC_RECORDING_STOPPED,
                HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    PostMessage(window, app::WM_DECK_EVENT, TOVIK_EC_RECORDING_STOPPED, HRESULT(0x8007001D));
    PostMessage(window, app::WM_DECK_EVENT, TOVIK_EC_RECORDING_STOPPED, VFW_E_INVALIDMEDIATYPE);
    ASSERT_TRUE(ProcessEventsUntil([&] { return prompts_.messages.size() == 3; }));
    EXPECT_EQ(prompts_.messages[0].text,
              QStringLiteral("ディスクがいっぱいになったため、録画を停止しました。"));
    EXPECT_EQ(prompts_.messages[0].icon, PromptIcon::kError);
    EXPECT_EQ(prompts_.messages[1].text,
              QStringLiteral("ファイルに書き込めないため、録画を停止しました。"));
    EXPECT_EQ(prompts_.messages[2].text,
              QStringLiteral("テープの方式(NTSC/PAL)が変わったため、録画を停止しました。"));
    EXPECT_TRUE(window_->Connected());
}

TEST_F(DeckWindow, DisconnectDuringARecordingEndsTheRecordingState) {
    StartDeck();
    Connect();
    Click(ids::kIdPlay);
    prompts_.files.push_back(QString::fromStdString((runtime_.Path() / "take.avi").string()));
    Click(ids::kIdChooseFile);
    Click(ids::kIdSerial);
    Click(ids::kIdRecord);
    Wait(500ms);
    Click(ids::kIdConnect);
    EXPECT_FALSE(window_->Recording());
    EXPECT_EQ(Button(ids::kIdRecord)->text(), QStringLiteral("●"));
    EXPECT_EQ(Button(ids::kIdRecord)->toolTip(), app::LoadString(109));
    EXPECT_EQ(window_->SerialCounter(), 1);
    EXPECT_GT(std::filesystem::file_size(runtime_.Path() / "take0000.avi"), 0u);

    Connect();
    prompts_.files.push_back(QString::fromStdString((runtime_.Path() / "again.avi").string()));
    Click(ids::kIdChooseFile);
    Click(ids::kIdRecord);  // a new take starts, it does not stop an old one
    EXPECT_TRUE(window_->Recording());
}

TEST_F(DeckWindow, TheDeckGoingAwayDisconnectsWithAMessage) {
    StartDeck();
    Connect();
    servers_.front()->Stop();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window_->Connected(); }));
    ASSERT_EQ(prompts_.messages.size(), 1u);
    EXPECT_EQ(prompts_.messages[0].text, QStringLiteral("DV機器がオフラインになりました。"));
    EXPECT_EQ(prompts_.messages[0].icon, PromptIcon::kInformation);
    // A second event queued behind the first shows the message again and stays disconnected.
    PostMessage(platform::HwndFromWidget(window_.get()), app::WM_DECK_EVENT, 31, 0);
    EXPECT_TRUE(ProcessEventsUntil([&] { return prompts_.messages.size() == 2; }));
    EXPECT_FALSE(window_->Connected());
    PostMessage(platform::HwndFromWidget(window_.get()), app::WM_DECK_EVENT, 1, 0);
    Wait(100ms);
    EXPECT_EQ(prompts_.messages.size(), 2u);
}

TEST_F(DeckWindow, AnAbortedGraphEndsTheConnectionToo) {
    StartDeck();
    Connect();
    PostMessage(platform::HwndFromWidget(window_.get()), app::WM_DECK_EVENT, 3, 0);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window_->Connected(); }));
    ASSERT_EQ(prompts_.messages.size(), 1u);
    EXPECT_EQ(prompts_.messages[0].text, QStringLiteral("DV機器がオフラインになりました。"));
    Connect();  // the user can connect again
}

// ---- the jog controller ----

class JogBinding : public DeckWindow {
  protected:
    void SetUp() override {
        controller_ = hid_->Add("/dev/hidraw3", JogControllerDescriptor());
        DeckWindow::SetUp();
        deck_ = StartDeck();
        Connect();
    }
    void Post(WPARAM key, LPARAM pressed = 1) {
        PostMessage(platform::HwndFromWidget(window_.get()), app::WM_JOG_NOTIFY, key, pressed);
        Wait(20ms);
        Settle();
    }
    std::vector<int> Leds() {
        std::vector<int> values;
        for (const auto& report : controller_->FeatureReports())
            if (report.size() >= 2) values.push_back(report[1]);
        return values;
    }
    std::pair<std::uint8_t, std::uint8_t> State() {
        Settle();
        return {deck_->LastCommand().opcode, deck_->LastCommand().operand};
    }
    using S = std::pair<std::uint8_t, std::uint8_t>;

    std::shared_ptr<FakeHidDevice> controller_;
    std::shared_ptr<vdeck::Deck> deck_;
};

TEST_F(JogBinding, TheModeKeyAlternatesJogAndShuttleAndPauses) {
    EXPECT_EQ(Leds(), std::vector<int>{1});
    Post(0x10001);  // mode 0: the wheel does nothing
    EXPECT_EQ(deck_->State().operand, 0x60);
    Click(ids::kIdPlay);
    Post(0x5000);
    EXPECT_EQ(window_->JogMode(), 1);
    EXPECT_EQ(Text(ids::kIdJogStatus), QStringLiteral("JOG"));
    EXPECT_EQ(State(), S(kPlay, 0x7D));  // paused
    Post(0x5000, 0);                     // releases of press-only keys are ignored
    EXPECT_EQ(window_->JogMode(), 1);
    Post(0x5000);
    EXPECT_EQ(window_->JogMode(), 2);
    EXPECT_EQ(Text(ids::kIdJogStatus), QStringLiteral("S 0"));
    Post(0x5000);
    EXPECT_EQ(window_->JogMode(), 1);
    // Frame steps keep the mode; play ends it.
    Post(0x10001);
    EXPECT_EQ(State(), S(kPlay, 0x30));
    Post(0x10000);
    EXPECT_EQ(State(), S(kPlay, 0x40));
    Click(ids::kIdNextFrame);
    EXPECT_EQ(window_->JogMode(), 1);
    Post(0x3000);  // play/pause key while paused: play
    EXPECT_EQ(window_->JogMode(), 0);
    EXPECT_EQ(State(), S(kPlay, 0x75));
    EXPECT_EQ(Text(ids::kIdJogStatus), QString());
    Post(0x3000);  // while playing: pause
    EXPECT_EQ(State(), S(kPlay, 0x7D));
    // Connect 1; play's reset 1; jog 3, shuttle 5, jog 3; the two play/pause resets 1 each;
    // disconnecting stops (a reset, 1) and turns them off.
    Click(ids::kIdConnect);
    EXPECT_EQ(Leds(), (std::vector<int>{1, 1, 3, 5, 3, 1, 1, 1, 0}));
}

TEST_F(JogBinding, ShuttleStepsToTheLimitsWithLabelsAndSpeeds) {
    Post(0x5000);
    Post(0x5000);
    ASSERT_EQ(window_->JogMode(), 2);
    Post(0x10001);
    EXPECT_EQ(Text(ids::kIdJogStatus), QStringLiteral("S > 0"));
    EXPECT_EQ(State(), S(kPlay, 0x7D));
    Post(0x10001);
    EXPECT_EQ(Text(ids::kIdJogStatus), QStringLiteral("S > 0"));
    Post(0x10001);
    EXPECT_EQ(Text(ids::kIdJogStatus), QStringLiteral("S > SL"));
    EXPECT_EQ(State(), S(kPlay, 0x31));  // forward, level 1
    Post(0x10000);                       // back to 2: pause
    EXPECT_EQ(Text(ids::kIdJogStatus), QStringLiteral("S > 0"));
    EXPECT_EQ(State(), S(kPlay, 0x7D));
    Post(0x10000);
    Post(0x10000);
    for (int i = 0; i < 45; ++i) Post(0x10000);
    EXPECT_EQ(window_->ShuttlePosition(), -45);
    EXPECT_EQ(Text(ids::kIdJogStatus), QStringLiteral("S < FT"));
    EXPECT_EQ(State(), S(kPlay, 0x4F));  // reverse, level 15
    Post(0x10000);                       // at the limit: the same command again
    EXPECT_EQ(window_->ShuttlePosition(), -45);
    EXPECT_EQ(State(), S(kPlay, 0x4F));
    EXPECT_EQ(Leds().back(), 5);
}

TEST_F(JogBinding, KeysRepeatTheButtons) {
    Post(0x2003);  // record key: no file chosen, record is disabled
    EXPECT_FALSE(window_->Recording());
    Click(ids::kIdPlay);
    Post(0x2002, 1);
    EXPECT_EQ(State(), S(kPlay, 0x3F));
    Post(0x2002, 0);  // as releasing ">>" while playing
    EXPECT_EQ(State(), S(kPlay, 0x75));
    Post(0x2001, 1);
    EXPECT_EQ(State(), S(kPlay, 0x4F));
    Post(0x2001, 0);
    Post(0x3001);
    EXPECT_EQ(State(), S(kWind, 0x60));
    Post(0x1000);  // keys without a function
    Post(0x4000);
    EXPECT_EQ(State(), S(kWind, 0x60));

    prompts_.files.push_back(QString::fromStdString((runtime_.Path() / "jog.avi").string()));
    Click(ids::kIdChooseFile);
    Post(0x2003);
    EXPECT_TRUE(window_->Recording());
    Post(0x2003, 0);
    EXPECT_TRUE(window_->Recording());
    Post(0x2003);
    EXPECT_FALSE(window_->Recording());
}

// What the user ticked stays ticked whatever else the window does: every transport button,
// hold button and controller key leaves "Monitor" as it is, so the take gets its preview.
TEST_F(JogBinding, TheMonitorTickSurvivesEveryControl) {
    Click(ids::kIdMonitor);
    ASSERT_TRUE(Check(ids::kIdMonitor)->isChecked());
    auto ticked = [&] { return Check(ids::kIdMonitor)->isChecked(); };
    for (int id :
         {ids::kIdPlay, ids::kIdPause, ids::kIdNextFrame, ids::kIdPreviousFrame, ids::kIdStop}) {
        Click(id);
        EXPECT_TRUE(ticked()) << id;
    }
    for (int id : {ids::kIdFastForward, ids::kIdRewind}) {
        QTest::mousePress(Button(id), Qt::LeftButton);
        QTest::mouseRelease(Button(id), Qt::LeftButton);
        EXPECT_TRUE(ticked()) << id;
    }
    for (WPARAM key : {WPARAM(0x5000), WPARAM(0x5000), WPARAM(0x10001), WPARAM(0x10001),
                       WPARAM(0x10001), WPARAM(0x3000), WPARAM(0x2002), WPARAM(0x3001)}) {
        Post(key);
        EXPECT_TRUE(ticked()) << std::hex << key;
    }
    SelectSize(3);  // the chosen size stays too
    Click(ids::kIdPlay);
    EXPECT_EQ(Combo()->currentIndex(), 3);
    EXPECT_TRUE(ticked());
}

TEST_F(JogBinding, TheControllersOwnReportsReachTheWindow) {
    // Button usage 14 is the mode key; the reader thread posts it to the window.
    controller_->Send({1, 0x00, 0x20});
    controller_->Send({1, 0x00, 0x00});
    EXPECT_TRUE(ProcessEventsUntil([&] { return window_->JogMode() == 1; }));
    controller_->Send({2, 0x01});  // one wheel step forward: next frame
    EXPECT_TRUE(ProcessEventsUntil([&] { return deck_->Position() > 0; }));
}

}  // namespace
}  // namespace velmora::test
