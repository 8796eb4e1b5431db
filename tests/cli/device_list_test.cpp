#include "cli/device_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "tests/support/dv_media.h"
#include "tests/support/firewire_sim.h"
#include "tests/support/temp_registry.h"
#include "vdeck/deck_server.h"
#include "vdeck/tape_maker.h"

namespace {

namespace fs = std::filesystem;
using velmora::test::SimNodeOptions;
using velmora::test::SimulatedBus;
using velmora::test::SimulatedNode;

class DeviceList : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1); }

    std::shared_ptr<vdeck::Deck> Deck(const std::string& name) {
        const fs::path path = dir_.Path() / (name + ".dv");
        std::string error;
        EXPECT_TRUE(vdeck::MakeSampleTape(path.string(), 1, 48000, &error)) << error;
        return std::make_shared<vdeck::Deck>(vdeck::Tape::Open(path.string(), &error), name);
    }
    std::string List(const fs::path& devDir) {
        const fs::path path = dir_.Path() / "list.txt";
        std::FILE* out = std::fopen(path.c_str(), "w");
        EXPECT_EQ(capture::PrintDeviceList(out, bus_, devDir.string()), 0);
        std::fclose(out);
        const auto bytes = velmora::test::ReadFileBytes(path);
        return std::string(bytes.begin(), bytes.end());
    }

    velmora::test::TempDir dir_;
    std::shared_ptr<SimulatedBus> bus_ = std::make_shared<SimulatedBus>();
};

// The FireWire units come first, named by GUID, vendor and model as their nodes describe
// themselves, then the virtual decks; a node without a tape subunit is no unit. Without
// FireWire device files the list says how to get them.
TEST_F(DeviceList, NamesFirewireUnitsByTheirNodesThenTheVirtualDecks) {
    SimNodeOptions camera;
    camera.guid = 0x0080AB00000000C1ULL;
    camera.vendor = "Acme";
    camera.model = "DV-100";
    bus_->Plug(std::make_shared<SimulatedNode>(Deck("cam"), camera));
    SimNodeOptions disk;
    disk.guid = 0x0080AB00000000D1ULL;
    disk.tape_subunit = false;
    bus_->Plug(std::make_shared<SimulatedNode>(nullptr, disk));
    vdeck::DeckServer server(Deck("deckA"), vdeck::DeckServer::DefaultSocketPath("deckA"));
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;

    const fs::path noDevices = dir_.Path() / "dev-empty";
    fs::create_directories(noDevices);
    const std::string list = List(noDevices);
    EXPECT_TRUE(std::regex_search(
        list, std::regex("^0  firewire  firewire:0080ab00000000c1  Acme DV-100  can open\n")))
        << list;
    EXPECT_TRUE(std::regex_search(list, std::regex("\n1  virtual   deckA .*can open\n"))) << list;
    EXPECT_EQ(list.find("00d1"), std::string::npos) << list;
    EXPECT_NE(list.find("firewire-ohci"), std::string::npos) << list;

    // Device files the user can open are counted, not listed one by one.
    const fs::path dev = dir_.Path() / "dev";
    fs::create_directories(dev);
    std::ofstream(dev / "fw0").close();
    if (::geteuid() == 0 || ::access((dev / "fw0").c_str(), R_OK | W_OK) == 0) {
        EXPECT_NE(List(dev).find("1 device file(s), all open to this user"), std::string::npos);
    }
}

}  // namespace
