// The Video Renderer in a process without a QApplication, and the Default DirectSound
// Renderer, which plays through ALSA or, without a sound device, consumes in silence.

#include <chrono>

#include "tests/platform/filters/renderer_test_support.h"

namespace {

using namespace renderer_test;

TEST(HeadlessVideoRendererTest, ConsumesFramesAndItsWindowCallsFail) {
    Graph g;
    auto renderer = g.Add(Create(CLSID_VideoRenderer), u"Video Renderer");
    auto source = g.Add(MakeSource<PictureStream>(5, LONG(64), LONG(48)), u"Pictures");
    ASSERT_EQ(g.Connect(source.Get(), u"Out", renderer.Get(), u"Input"), S_OK);
    auto window = renderer.As<IVideoWindow>();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->put_Owner(0), E_FAIL);
    EXPECT_EQ(window->SetWindowPosition(0, 0, 320, 240), E_FAIL);
    EXPECT_EQ(window->put_WindowState(5), E_FAIL);
    LONG visible = 0;
    EXPECT_EQ(window->get_Visible(&visible), E_FAIL);
    EXPECT_EQ(g.RunToCompletion(), EC_COMPLETE);
}

TEST(DSoundRendererTest, PlaysOrConsumesInTime) {
    Graph g;
    auto renderer = g.Add(Create(CLSID_DSoundRender), u"Default DirectSound Renderer");
    auto source = g.Add(MakeSource<PcmStream>(8), u"Audio");
    ASSERT_EQ(g.Connect(source.Get(), u"Out", renderer.Get(), u"Audio Input pin (rendered)"), S_OK);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(g.RunToCompletion(), EC_COMPLETE);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(700));  // 800 ms of audio
    EXPECT_EQ(g.control->Stop(), S_OK);
    // A second run opens the device (or the silence) again.
    EXPECT_EQ(g.RunToCompletion(), EC_COMPLETE);
}

TEST(DSoundRendererTest, TakesOnlyPcm) {
    Graph g;
    auto renderer = g.Add(Create(CLSID_DSoundRender), u"Default DirectSound Renderer");
    auto pictures = g.Add(MakeSource<PictureStream>(1, LONG(8), LONG(8)), u"Pictures");
    EXPECT_NE(g.Connect(pictures.Get(), u"Out", renderer.Get(), u"Audio Input pin (rendered)"),
              S_OK);
}

}  // namespace
