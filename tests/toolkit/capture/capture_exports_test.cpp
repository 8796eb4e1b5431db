#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/com/com.h"
#include "tests/support/dv_media.h"
#include "tests/support/temp_registry.h"
#include "toolkit/exports/export_table.h"
#include "toolkit/tovik.h"
#include "vdeck/deck_server.h"

namespace {

TovikOpenParams Params(int32_t size = 28) {
    TovikOpenParams params{};
    params.size = size;
    return params;
}

TEST(CaptureExports, LibraryExportsExactlyTheTable) {
    std::string command = std::string("nm -D --defined-only ") + TOVIK_LIBRARY_PATH;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        auto space = text.find_last_of(' ');
        std::string name = text.substr(space + 1);
        name.erase(name.find_last_not_of("\n") + 1);
        if (name.rfind("Tovik", 0) == 0)
            exported.insert(name);
        else if (text.find(" T ") != std::string::npos)
            ADD_FAILURE() << "extra export " << name;
    }
    ::pclose(pipe);
    std::set<std::string> table;
    std::set<int> ordinals;
    for (const auto& e : kTovikExports) {
        table.insert(e.name);
        EXPECT_TRUE(ordinals.insert(e.ordinal).second) << e.ordinal;
    }
    EXPECT_EQ(exported, table);
}

TEST(CaptureExports, NullHandlesAnswerWithoutDoingAnything) {
    TovikRect rect{0, 0, 10, 10};
    TovikProgress progress{7, 7, 7};
    TovikTimecode timecode{20, 0, 0, 0, 0, 0, 0};
    TovikCapability capability{20, 0, 0, 0, 0};
    int64_t length = 5;
    int result = 0;
    EXPECT_EQ(Tovik_Close(nullptr), 0);
    EXPECT_EQ(Tovik_Control(nullptr, 4296, 0), 0);
    EXPECT_EQ(Tovik_SetPreviewWindowStyle(nullptr, 0, 0x40000000), 0);
    EXPECT_EQ(Tovik_SetPreviewWindowRect(nullptr, &rect), 0);
    EXPECT_EQ(Tovik_ShowPreviewWindow(nullptr, 5), 0);
    EXPECT_EQ(Tovik_StartRec(nullptr, "/tmp/x.avi", 1), 0);
    EXPECT_EQ(Tovik_StopRec(nullptr), 0);
    EXPECT_EQ(Tovik_SaveBmp(nullptr, "/tmp/x.bmp"), 0);
    EXPECT_EQ(Tovik_GetOneShot(nullptr, nullptr, &result), 0);
    EXPECT_EQ(Tovik_GetControlStatus(nullptr), -1);
    EXPECT_EQ(Tovik_SetWriteFile(nullptr, "/tmp/x.avi", 0), -1);
    EXPECT_EQ(Tovik_WriteStart(nullptr), -1);
    EXPECT_EQ(Tovik_WriteStop(nullptr), -1);
    EXPECT_EQ(Tovik_GetWriteFileLength(nullptr, &length), -1);
    EXPECT_EQ(Tovik_SetWriteRange(nullptr, 1, 2, 3, 4), -1);
    EXPECT_EQ(Tovik_GetWriteStatus(nullptr, &progress), -1);
    EXPECT_EQ(Tovik_GetRecStatus(nullptr, &progress), -1);
    TovikRecReport report{};
    EXPECT_EQ(Tovik_GetRecReport(nullptr, &report), -1);
    EXPECT_EQ(Tovik_GetTimecode(nullptr, &timecode), -1);
    EXPECT_EQ(Tovik_GetCapability(nullptr, &capability), -1);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(progress.active, 7);
}

class CaptureOpen : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
    }
    void TearDown() override {
        servers_.clear();
        CoUninitialize();
    }
    void StartDeck(const std::string& name) {
        auto path = runtime_.Path() / (name + ".dv");
        ASSERT_TRUE(velmora::test::MakeDvTape(path, 3));
        std::string error;
        auto deck = std::make_shared<vdeck::Deck>(vdeck::Tape::Open(path.string(), &error), name);
        servers_.push_back(
            std::make_unique<vdeck::DeckServer>(deck, vdeck::DeckServer::DefaultSocketPath(name)));
        ASSERT_TRUE(servers_.back()->Start(&error)) << error;
    }

    velmora::test::TempDir runtime_;
    std::vector<std::unique_ptr<vdeck::DeckServer>> servers_;
};

TEST_F(CaptureOpen, BadRecordsAndMissingDevicesSetTheLastOpenError) {
    TovikOpenParams short_ = Params(27), long_ = Params(29), good = Params();
    EXPECT_EQ(Tovik_Open(0, 1, &short_), nullptr);
    EXPECT_EQ(Tovik_GetError(nullptr), 2);
    EXPECT_EQ(Tovik_Open(0, 1, &long_), nullptr);
    EXPECT_EQ(Tovik_GetError(nullptr), 2);
    EXPECT_EQ(Tovik_Open(0, 3, &good), nullptr);  // preview and write together
    EXPECT_EQ(Tovik_GetError(nullptr), 2);
    EXPECT_EQ(Tovik_GetDevice(), 0);
    EXPECT_EQ(Tovik_Open(0, 2, &good), nullptr);
    EXPECT_EQ(Tovik_GetError(nullptr), 4);

    StartDeck("Deck B");
    StartDeck("Deck A");
    EXPECT_EQ(Tovik_GetDevice(), 2);
    EXPECT_EQ(Tovik_Open(2, 2, &good), nullptr);
    EXPECT_EQ(Tovik_GetError(nullptr), 4);
    TovikCaptureHandle handle = Tovik_Open(1, 2, &good);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Tovik_GetError(nullptr), 0);
    EXPECT_EQ(Tovik_GetError(handle), 0);
    EXPECT_EQ(Tovik_SetWriteRange(handle, 1, 2, 3, 4), 1);
    int64_t length = -1;
    EXPECT_EQ(Tovik_GetWriteFileLength(handle, &length), 1);
    EXPECT_EQ(length, 0);                                       // nothing loaded yet
    EXPECT_EQ(Tovik_StartRec(handle, "/tmp/never.avi", 1), 0);  // write mode has no recorder
    EXPECT_EQ(Tovik_StopRec(handle), 0);
    EXPECT_EQ(Tovik_WriteStart(handle), 0);
    EXPECT_EQ(Tovik_ShowPreviewWindow(handle, 5), 0);  // no preview window in write mode
    EXPECT_EQ(Tovik_Close(handle), 1);
    EXPECT_EQ(Tovik_GetError(nullptr), 0);
}

// The bridge's registration is a value file that no longer parses: the still path cannot make
// its decoder, and nothing of that leaks out of the open (which succeeds without stills) or
// leaves an earlier open's error behind.
TEST_F(CaptureOpen, AnUnreadableBridgeRegistrationNeitherFailsNorStalesTheOpen) {
    velmora::test::TempRegistry registry;
    const auto server =
        registry.Root() / "CLSID" / "{8FD15CA6-7433-44D4-BC92-401B37C5E3DD}" / "InprocServer32";
    std::filesystem::create_directories(server);
    std::ofstream(server / "@", std::ios::binary) << "REG_BINARY 1\nnot hex!";
    StartDeck("Deck");
    TovikOpenParams bad = Params(27), good = Params();
    EXPECT_EQ(Tovik_Open(0, 0, &bad), nullptr);
    ASSERT_EQ(Tovik_GetError(nullptr), 2);
    TovikCaptureHandle handle = Tovik_Open(0, 0, &good);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Tovik_GetError(nullptr), 0);
    std::vector<std::uint8_t> picture(720 * 480 * 3);
    int out = 5;
    Tovik_GetOneShot(handle, picture.data(), &out);
    EXPECT_NE(out, 0) << "no decoder, no still";
    EXPECT_EQ(Tovik_Close(handle), 1);
}

}  // namespace
