// libpelko.so exports exactly the functions of its ordinal table, by name.

#include "jog/exports.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
    const std::string command = "nm -D --defined-only '" + library + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::set<std::string> names;
    char line[512];
    while (pipe && std::fgets(line, sizeof line, pipe)) {
        std::istringstream in(line);
        std::string address, kind, name;
        if (in >> address >> kind >> name) names.insert(name.substr(0, name.find('@')));
    }
    EXPECT_EQ(pipe ? ::pclose(pipe) : -1, 0) << command;
    return names;
}

TEST(PelkoExports, TheLibraryExportsExactlyTheTable) {
    std::set<std::string> expected;
    std::set<int> ordinals;
    for (const auto& e : pelko::kExports) {
        expected.emplace(e.name);
        ordinals.insert(e.ordinal);
    }
    EXPECT_EQ(ordinals, (std::set<int>{100, 101, 102, 103}));
    EXPECT_EQ(DefinedDynamicSymbols(PELKO_LIBRARY_PATH), expected);
}

}  // namespace
