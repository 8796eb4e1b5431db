// pelko-hidcaps against the host parser's own results: every real descriptor in the shared
// test data must give the same report lengths and capabilities as the .pp_data file beside it.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Cap {
    std::string type;
    unsigned page = 0, report = 0, byte = 0, bit = 0, size = 0, count = 0, button = 0;
    unsigned usageMin = 0, usageMax = 0, link = 0;
    bool range = false;
    bool operator==(const Cap&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Cap& c) {
    return out << c.type << " page=" << c.page << " report=" << c.report << " byte=" << c.byte
               << " bit=" << c.bit << " size=" << c.size << " count=" << c.count
               << " button=" << c.button << " usage=" << c.usageMin << "-" << c.usageMax
               << " range=" << c.range << " link=" << c.link;
}

struct Parse {
    unsigned lengths[3] = {0, 0, 0};
    std::vector<Cap> caps;
};

unsigned Number(const std::string& text) {
    return static_cast<unsigned>(std::stoul(text, nullptr, 0));
}

// The .pp_data dump: "pp_data->caps_info[i]->ReportByteLength = n" per report type and
// "pp_data->cap[i]->Field = value" per capability; capabilities are numbered across types and
// the caps_info ranges say which type each belongs to.
Parse ReadPpData(const fs::path& path) {
    std::ifstream in(path);
    const std::regex capsInfo(R"(pp_data->caps_info\[(\d)\]->(\w+)\s*=\s*(\S+))");
    const std::regex capField(R"(pp_data->cap\[(\d+)\]->([\w.]+)\s*=\s*(\S+))");
    std::map<unsigned, std::map<std::string, std::string>> fields;
    unsigned first[3] = {0, 0, 0}, last[3] = {0, 0, 0};
    Parse parse;
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, capsInfo)) {
            const unsigned type = Number(m[1]);
            if (type > 2) continue;
            if (m[2] == "ReportByteLength") parse.lengths[type] = Number(m[3]);
            if (m[2] == "FirstCap") first[type] = Number(m[3]);
            if (m[2] == "LastCap") last[type] = Number(m[3]);
        } else if (std::regex_search(line, m, capField)) {
            fields[Number(m[1])][m[2]] = m[3];
        }
    }
    static const char* kTypes[3] = {"input", "output", "feature"};
    for (unsigned type = 0; type < 3; ++type) {
        for (unsigned i = first[type]; i < last[type]; ++i) {
            auto& f = fields[i];
            Cap cap;
            cap.type = kTypes[type];
            cap.page = Number(f["UsagePage"]);
            cap.report = Number(f["ReportID"]);
            cap.byte = Number(f["BytePosition"]);
            cap.bit = Number(f["BitPosition"]);
            cap.size = Number(f["BitSize"]);
            cap.count = Number(f["ReportCount"]);
            cap.button = Number(f["IsButtonCap"]);
            cap.range = Number(f["IsRange"]) != 0;
            cap.usageMin = Number(f[cap.range ? "Range.UsageMin" : "NotRange.Usage"]);
            cap.usageMax = cap.range ? Number(f["Range.UsageMax"]) : cap.usageMin;
            cap.link = Number(f["LinkCollection"]);
            parse.caps.push_back(cap);
        }
    }
    return parse;
}

std::string RunHidcaps(const fs::path& hex, int* status) {
    const std::string command = std::string(PELKO_HIDCAPS_PATH) + " '" + hex.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    *status = pipe ? ::pclose(pipe) : -1;
    return output;
}

// The tool's output for a descriptor of one top-level collection.
Parse ReadHidcaps(const std::string& output, unsigned* collections) {
    const std::regex collection(
        R"(^collection (\d+) page=0x[0-9A-F]{4} usage=0x[0-9A-F]{4} input=(\d+) output=(\d+) feature=(\d+)$)");
    const std::regex cap(
        R"(^cap (input|output|feature) page=(0x[0-9A-F]{4}) report=(\d+) byte=(\d+) bit=(\d+) size=(\d+) count=(\d+) button=([01]) usage=(0x[0-9A-F]{4})(?:-(0x[0-9A-F]{4}))? link=(\d+)$)");
    Parse parse;
    *collections = 0;
    std::istringstream in(output);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, collection)) {
            ++*collections;
            for (int t = 0; t < 3; ++t) parse.lengths[t] = Number(m[2 + t]);
        } else if (std::regex_match(line, m, cap)) {
            Cap c{m[1],          Number(m[2]), Number(m[3]), Number(m[4]), Number(m[5]),
                  Number(m[6]),  Number(m[7]), Number(m[8]), Number(m[9]), 0,
                  Number(m[11]), m[10].matched};
            c.usageMax = c.range ? Number(m[10]) : c.usageMin;
            parse.caps.push_back(c);
        } else {
            ADD_FAILURE() << "line not in the documented format: " << line;
        }
    }
    return parse;
}

TEST(Hidcaps, AgreesWithTheHostParserOnEveryRealDevice) {
    const fs::path folder = VELMORA_HID_TESTDATA;
    if (!fs::is_directory(folder)) GTEST_SKIP() << folder << " is not there";
    int devices = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".hex") continue;
        fs::path ppData = entry.path();
        ppData.replace_extension(".pp_data");
        ASSERT_TRUE(fs::exists(ppData)) << ppData;
        SCOPED_TRACE(entry.path().filename().string());
        int status = 0;
        unsigned collections = 0;
        const Parse ours = ReadHidcaps(RunHidcaps(entry.path(), &status), &collections);
        ASSERT_EQ(status, 0);
        ASSERT_EQ(collections, 1u);
        const Parse theirs = ReadPpData(ppData);
        for (int t = 0; t < 3; ++t) EXPECT_EQ(ours.lengths[t], theirs.lengths[t]) << "type " << t;
        EXPECT_EQ(ours.caps, theirs.caps);
        ++devices;
    }
    EXPECT_GE(devices, 16);
}

TEST(Hidcaps, RefusesWhatIsNotADescriptor) {
    const fs::path dir = fs::temp_directory_path() / ("hidcaps-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    auto run = [&](const std::string& text) {
        std::ofstream(dir / "d.hex") << text;
        int status = 0;
        RunHidcaps(dir / "d.hex", &status);
        return status;
    };
    EXPECT_NE(run("05 01 09 02 A1 01"), 0) << "unclosed collection";
    EXPECT_NE(run("05 0G"), 0) << "not hex";
    EXPECT_NE(run("05 01 09 02 A1 01 75"), 0) << "item past the end";
    EXPECT_EQ(run("05 01 09 02 A1 01 C0"), 0);
    fs::remove_all(dir);
}

}  // namespace
