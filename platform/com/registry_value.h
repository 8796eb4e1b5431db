#pragma once
// How one registry value is kept on disk, as a file of its own: its type on the first line,
// then its data: the text of a string, the decimal number of a DWORD, hex pairs for anything
// else ("REG_BINARY <type>"). The files are outside the process's control (anyone who can
// write the user's data folder can edit them), so reading one checks every byte of it.

#include <optional>
#include <string>
#include <string_view>

#include "platform/com/types.h"

namespace platform::registry {

struct StoredValue {
    DWORD type = 0;     // REG_NONE
    std::string bytes;  // strings as UTF-8 without terminator; a DWORD as its 4 bytes
};

std::string EncodeValue(const StoredValue& value);

// The value a file holds; nothing when the file is not one that EncodeValue writes (a line
// break at the end of a number or of hex data is allowed, as editors add one). Never throws
// anything but std::bad_alloc.
std::optional<StoredValue> DecodeValue(std::string_view text);

}  // namespace platform::registry
