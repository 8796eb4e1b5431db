// The jog controller's udev rule as udev applies it to hidraw nodes: the rule's own program
// runs on each node's report descriptor, and only the controller's node gets the tag that
// gives the desktop user access. Keyboards and the other Consumer Control devices of the
// shared test data keep theirs closed.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fake_hid.h"
#include "tests/support/temp_registry.h"

namespace {

namespace fs = std::filesystem;
using velmora::test::Bytes;

std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    ::pclose(pipe);
    return output;
}

// One rule line: its match keys and its assignments, as udev reads them.
struct Rule {
    std::vector<std::tuple<std::string, std::string, std::string>> keys;  // key, operator, value
};

std::vector<Rule> ReadRules(const fs::path& path) {
    std::ifstream in(path);
    std::vector<Rule> rules;
    const std::regex key(R"re(([A-Z]+(?:\{[^}]*\})?)\s*(==|!=|\+=|=)\s*"([^"]*)")re");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        Rule rule;
        for (std::sregex_iterator it(line.begin(), line.end(), key), end; it != end; ++it)
            rule.keys.emplace_back((*it)[1], (*it)[2], (*it)[3]);
        rules.push_back(std::move(rule));
    }
    return rules;
}

// Applies the rules to a node whose report descriptor lies in `descriptor` (as sysfs gives
// it); true when the node ends up tagged for the seat's user.
bool GetsUserAccess(const std::vector<Rule>& rules, const fs::path& descriptor) {
    std::map<std::string, std::string> env;
    bool tagged = false;
    for (const Rule& rule : rules) {
        bool matches = true;
        for (const auto& [key, op, value] : rule.keys) {
            if (op != "==" && op != "!=") continue;
            std::string actual;
            if (key == "SUBSYSTEM")
                actual = "hidraw";
            else if (key == "KERNEL")
                actual = "hidraw7";
            else if (key == "ACTION")
                actual = "add";
            else if (key.rfind("ENV{", 0) == 0)
                actual = env[key.substr(4, key.size() - 5)];
            else
                actual = "?";  // ATTRS and the like: nothing the test devices have
            const bool equal = value.back() == '*'
                                   ? actual.rfind(value.substr(0, value.size() - 1), 0) == 0
                                   : actual == value;
            matches = matches && (op == "==" ? equal : !equal);
        }
        if (!matches) continue;
        for (const auto& [key, op, value] : rule.keys) {
            if (key == "IMPORT{program}") {
                std::string command = value;
                command.replace(command.find("$devnode"), 8, descriptor.string());
                std::istringstream lines(RunCommand(command));
                for (std::string line; std::getline(lines, line);)
                    if (auto eq = line.find('='); eq != std::string::npos)
                        env[line.substr(0, eq)] = line.substr(eq + 1);
            }
            if (key == "TAG" && value == "uaccess") tagged = true;
        }
    }
    return tagged;
}

fs::path WriteRaw(const fs::path& folder, const std::string& name, const Bytes& bytes) {
    const fs::path path = folder / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

TEST(JogUdevRule, OnlyTheControllersNodeIsOpenedToTheUser) {
    const auto rules = ReadRules(JOG_UDEV_RULE);
    ASSERT_FALSE(rules.empty());
    velmora::test::TempDir dir;
    EXPECT_TRUE(GetsUserAccess(
        rules, WriteRaw(dir.Path(), "jog", velmora::test::JogControllerDescriptor())));
    EXPECT_FALSE(GetsUserAccess(
        rules, WriteRaw(dir.Path(), "keyboard", velmora::test::KeyboardDescriptor())));
    int devices = 0;
    for (const auto& entry : fs::directory_iterator(VELMORA_HID_TESTDATA)) {
        if (entry.path().extension() != ".hex") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        const auto raw =
            WriteRaw(dir.Path(), entry.path().stem().string(), velmora::test::FromHex(text.str()));
        EXPECT_FALSE(GetsUserAccess(rules, raw)) << entry.path().filename();
        ++devices;
    }
    EXPECT_EQ(devices, 16);
}

TEST(JogUdevRule, TheHelperAnswersForTheControllerOnly) {
    velmora::test::TempDir dir;
    const std::string helper = std::string(PELKO_HIDCAPS_PATH) + " --udev ";
    EXPECT_EQ(
        RunCommand(helper +
                   WriteRaw(dir.Path(), "jog", velmora::test::JogControllerDescriptor()).string()),
        "VELMORA_JOG_CONTROLLER=1\n");
    // The LED feature alone, or a Consumer Control without it, is not the controller.
    Bytes noLed = velmora::test::JogControllerDescriptor();
    noLed.resize(noLed.size() - 20);  // drops report 3 (the LED feature) and the end
    noLed.push_back(0xC0);
    EXPECT_EQ(RunCommand(helper + WriteRaw(dir.Path(), "noled", noLed).string()), "");
    EXPECT_EQ(RunCommand(helper + WriteRaw(dir.Path(), "garbage", Bytes(300, 0xA1)).string()), "");
    EXPECT_EQ(RunCommand(helper + (dir.Path() / "missing").string()), "");
}

}  // namespace
