// Kept apart from the other text conversions so that the DV report code can be built without
// the rest of the platform (the fuzz targets do).
#include <cstdio>

#include "platform/kernel/text.h"

namespace platform {

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace platform
