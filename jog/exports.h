#pragma once
// The library's exports with their ordinals. ELF has no ordinals; the linker version script
// exports exactly these names and a test checks the library against this table.

#include <array>
#include <string_view>

namespace pelko {

struct Export {
    int ordinal;
    std::string_view name;
};

inline constexpr std::array<Export, 4> kExports = {{
    {100, "Pelko_Open"},
    {101, "Pelko_Close"},
    {102, "Pelko_EnableNotify"},
    {103, "Pelko_SetLED"},
}};

}  // namespace pelko
