// The Video Renderer as a child widget of an owner window, under the offscreen Qt platform.

#include <QWidget>

#include "platform/user/window.h"
#include "tests/platform/filters/renderer_test_support.h"
#include "tests/support/qt_main.h"

namespace {

using namespace renderer_test;
using velmora::test::ProcessEventsUntil;

struct RendererGraph {
    Graph g;
    ComPtr<IBaseFilter> renderer = g.Add(Create(CLSID_VideoRenderer), u"Video Renderer");
    ComPtr<IVideoWindow> window = renderer.As<IVideoWindow>();
};

TEST(VideoRendererTest, IsAChildWindowOfItsOwner) {
    QWidget owner;
    owner.resize(640, 480);
    owner.show();
    RendererGraph r;
    ASSERT_TRUE(r.window);
    EXPECT_EQ(r.window->put_AutoShow(OAFALSE), S_OK);
    EXPECT_EQ(r.window->put_Owner(OAHWND(platform::HwndFromWidget(&owner))), S_OK);
    EXPECT_EQ(r.window->put_WindowStyle(LONG(WS_CHILD)), S_OK);
    EXPECT_EQ(r.window->SetWindowPosition(10, 20, 320, 240), S_OK);
    auto* video = owner.findChild<QWidget*>();
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->geometry(), QRect(10, 20, 320, 240));
    EXPECT_FALSE(video->isVisible());

    EXPECT_EQ(r.window->put_WindowState(SW_SHOW), S_OK);
    EXPECT_TRUE(video->isVisible());
    LONG value = 0;
    r.window->get_Visible(&value);
    EXPECT_EQ(value, OATRUE);
    EXPECT_EQ(r.window->put_WindowState(SW_HIDE), S_OK);
    EXPECT_FALSE(video->isVisible());
    r.window->get_WindowStyle(&value);
    EXPECT_EQ(value, LONG(WS_CHILD));
    OAHWND ownerBack = 0;
    r.window->get_Owner(&ownerBack);
    EXPECT_EQ(HWND(ownerBack), platform::HwndFromWidget(&owner));
    LONG l, t, w, h;
    r.window->GetWindowPosition(&l, &t, &w, &h);
    EXPECT_EQ((std::vector<LONG>{l, t, w, h}), (std::vector<LONG>{10, 20, 320, 240}));

    // Leaving the owner makes it a window of its own again.
    EXPECT_EQ(r.window->put_Visible(OAFALSE), S_OK);
    EXPECT_EQ(r.window->put_Owner(0), S_OK);
    EXPECT_EQ(owner.findChild<QWidget*>(), nullptr);
}

TEST(VideoRendererTest, PaintsTheLatestFrameAtTheWindowSize) {
    QWidget owner;
    owner.resize(640, 480);
    owner.show();
    RendererGraph r;
    auto source = r.g.Add(MakeSource<PictureStream>(3, LONG(64), LONG(48)), u"Pictures");
    ASSERT_EQ(r.g.Connect(source.Get(), u"Out", r.renderer.Get(), u"Input"), S_OK);
    r.window->put_Owner(OAHWND(platform::HwndFromWidget(&owner)));
    r.window->SetWindowPosition(0, 0, 320, 240);
    r.renderer->SetSyncSource(nullptr);
    // Auto-show: running the graph shows the window.
    ASSERT_TRUE(SUCCEEDED(r.g.control->Run()));
    LONG code = 0;
    ASSERT_TRUE(
        ProcessEventsUntil([&] { return r.g.events->WaitForCompletion(0, &code) == S_OK; }));
    auto* video = owner.findChild<QWidget*>();
    ASSERT_NE(video, nullptr);
    ASSERT_TRUE(ProcessEventsUntil([&] { return video->isVisible(); }));
    QImage shot;
    ASSERT_TRUE(ProcessEventsUntil([&] {
        shot = video->grab().toImage();
        return shot.pixelColor(5, 5) == QColor(255, 0, 0);
    })) << shot.pixelColor(5, 5).name().toStdString();
    EXPECT_EQ(shot.size(), QSize(320, 240));
    EXPECT_EQ(shot.pixelColor(315, 235), QColor(0, 255, 0));
}

TEST(VideoRendererTest, RefusesWhatItCannotShow) {
    Graph g;
    auto renderer = g.Add(Create(CLSID_VideoRenderer), u"Video Renderer");
    auto pcm = g.Add(MakeSource<PcmStream>(1), u"Audio");
    EXPECT_NE(g.Connect(pcm.Get(), u"Out", renderer.Get(), u"Input"), S_OK);
    EXPECT_TRUE(Pin(renderer.Get(), u"Input"));
}

}  // namespace
