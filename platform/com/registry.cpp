#include "platform/com/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/com/registry_value.h"
#include "platform/kernel/text.h"

namespace fs = std::filesystem;
using platform::registry::DecodeValue;
using platform::registry::EncodeValue;
using platform::registry::StoredValue;

namespace {

// Open keys: a table, so a stale handle is refused rather than dereferenced.
class KeyTable {
public:
    HKEY Insert(fs::path path) {
        std::lock_guard lock(mutex_);
        std::uintptr_t value = next_;
        next_ += 8;
        keys_.emplace(value, std::move(path));
        return reinterpret_cast<HKEY>(value);
    }
    std::optional<fs::path> Find(HKEY key) {
        if (key == HKEY_CLASSES_ROOT) return platform::RegistryRoot();
        std::lock_guard lock(mutex_);
        auto it = keys_.find(reinterpret_cast<std::uintptr_t>(key));
        if (it == keys_.end()) return std::nullopt;
        return it->second;
    }
    bool Remove(HKEY key) {
        std::lock_guard lock(mutex_);
        return keys_.erase(reinterpret_cast<std::uintptr_t>(key)) == 1;
    }

private:
    std::mutex mutex_;
    std::uintptr_t next_ = 0x10000;
    std::unordered_map<std::uintptr_t, fs::path> keys_;
};

KeyTable& Keys() {
    static KeyTable* table = new KeyTable;  // lives as long as the process
    return *table;
}

LONG ErrorFromErrno(int error, LONG fallback) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case ENOSPC:
            return ERROR_DISK_FULL;
        default:
            return fallback;
    }
}

LONG ErrorFromCode(const std::error_code& ec, LONG fallback) {
    return ErrorFromErrno(ec.value(), fallback);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

bool ValidKeyName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name[0] != '@' &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// Splits "a\b\c" into its names; nullopt when one of them cannot be a key name.
std::optional<std::vector<std::string>> SplitKeyPath(const std::string& subKey) {
    std::vector<std::string> names;
    std::string current;
    for (char c : subKey + '\\') {
        if (c != '\\') {
            current += c;
            continue;
        }
        if (!current.empty()) {
            if (!ValidKeyName(current)) return std::nullopt;
            names.push_back(std::move(current));
        }
        current.clear();
    }
    return names;
}

// The existing child folder whose name matches without regard to case, else the name as given.
fs::path ResolveChild(const fs::path& parent, const std::string& name) {
    fs::path exact = parent / name;
    std::error_code ec;
    if (fs::is_directory(exact, ec)) return exact;
    for (const auto& entry : fs::directory_iterator(parent, ec)) {
        if (entry.is_directory(ec) && EqualsIgnoringCase(entry.path().filename().string(), name))
            return entry.path();
    }
    return exact;
}

fs::path ValueFile(const fs::path& key, const std::string& name) { return key / ("@" + name); }

LONG OpenOrCreate(HKEY key, const std::string& subKey, bool create, HKEY* result,
                  DWORD* disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    auto base = Keys().Find(key);
    if (!base) return ERROR_INVALID_HANDLE;
    auto names = SplitKeyPath(subKey);
    if (!names) return ERROR_BAD_PATHNAME;
    fs::path path = *base;
    std::error_code ec;
    if (create && !fs::is_directory(path, ec)) {
        fs::create_directories(path, ec);
        if (ec) return ErrorFromCode(ec, ERROR_CANTWRITE);
    }
    bool created = false;
    for (const std::string& name : *names) {
        path = ResolveChild(path, name);
        if (fs::is_directory(path, ec)) continue;
        if (!create) return ERROR_FILE_NOT_FOUND;
        if (!fs::create_directory(path, ec) && ec) return ErrorFromCode(ec, ERROR_CANTWRITE);
        created = true;
    }
    if (!create && !fs::is_directory(path, ec)) return ERROR_FILE_NOT_FOUND;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = Keys().Insert(path);
    return ERROR_SUCCESS;
}

LONG WriteFileAtomically(const fs::path& file, const std::string& contents) {
    fs::path temp = file;
    temp += ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return ErrorFromErrno(errno, ERROR_CANTWRITE);
        out << contents;
        out.flush();
        if (!out) {
            std::error_code ignored;
            fs::remove(temp, ignored);
            return ERROR_CANTWRITE;
        }
    }
    std::error_code ec;
    fs::rename(temp, file, ec);
    if (ec) {
        fs::remove(temp, ec);
        return ERROR_CANTWRITE;
    }
    return ERROR_SUCCESS;
}

LONG SetValue(HKEY key, const std::string& name, StoredValue value) {
    auto path = Keys().Find(key);
    if (!path) return ERROR_INVALID_HANDLE;
    std::error_code ec;
    if (key == HKEY_CLASSES_ROOT) fs::create_directories(*path, ec);
    if (!fs::is_directory(*path, ec)) return ERROR_BADKEY;
    if (name.find('/') != std::string::npos) return ERROR_INVALID_PARAMETER;
    return WriteFileAtomically(ValueFile(*path, name), EncodeValue(value));
}

// A value file larger than this is not one the registry wrote.
constexpr off_t kMaxValueFile = 1 << 20;

// The whole text of a value file; nothing for a file that is missing, is not a regular file
// (a pipe would block the reader) or is too large to be a value.
std::optional<std::string> ReadValueFile(const fs::path& file, LONG* error) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        *error = ERROR_FILE_NOT_FOUND;
        return std::nullopt;
    }
    std::optional<std::string> text;
    struct stat info {};
    *error = ERROR_CANTREAD;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxValueFile) {
        std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        text = std::move(bytes);
    }
    ::close(fd);
    return text;
}

LONG GetValue(HKEY key, const std::string& name, StoredValue* value) {
    auto path = Keys().Find(key);
    if (!path) return ERROR_INVALID_HANDLE;
    if (name.find('/') != std::string::npos) return ERROR_FILE_NOT_FOUND;
    LONG error = ERROR_SUCCESS;
    const auto text = ReadValueFile(ValueFile(*path, name), &error);
    if (!text) return error;
    auto decoded = DecodeValue(*text);
    if (!decoded) return ERROR_CANTREAD;
    *value = std::move(*decoded);
    return ERROR_SUCCESS;
}

// Runs the body of a registry function: whatever the folder holds, no exception leaves it.
template <typename Body>
LONG Shielded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_CANTREAD;
    }
}

// Hands a value to the caller: strings in the caller's character width with a terminator.
template <typename Char>
LONG Deliver(const StoredValue& value, DWORD* type, BYTE* data, DWORD* size) {
    std::string bytes = value.bytes;
    if (value.type == REG_SZ) {
        std::basic_string<Char> text;
        if constexpr (sizeof(Char) == 2)
            text = platform::Utf8ToUtf16(value.bytes);
        else
            text = value.bytes;
        bytes.assign(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(Char));
    }
    if (type) *type = value.type;
    if (!size) return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    DWORD needed = static_cast<DWORD>(bytes.size());
    DWORD capacity = *size;
    *size = needed;
    if (!data) return ERROR_SUCCESS;
    if (capacity < needed) return ERROR_MORE_DATA;
    std::memcpy(data, bytes.data(), needed);
    return ERROR_SUCCESS;
}

// Reads the string data of a set-value call, which need not be terminated within its size.
template <typename Char>
std::string StringData(const BYTE* data, DWORD size) {
    const Char* chars = reinterpret_cast<const Char*>(data);
    std::size_t count = size / sizeof(Char);
    std::basic_string_view<Char> view(chars, count);
    if (auto end = view.find(Char{0}); end != view.npos) view = view.substr(0, end);
    if constexpr (sizeof(Char) == 2)
        return platform::Utf16ToUtf8(view);
    else
        return std::string(view);
}

std::string Narrow(LPCWSTR text) {
    return text ? platform::Utf16ToUtf8({text, platform::WideLength(text)}) : std::string();
}
std::string Narrow(LPCSTR text) { return text ? std::string(text) : std::string(); }

template <typename Char>
LONG SetValueGeneric(HKEY key, const Char* name, DWORD type, const BYTE* data, DWORD size) {
    if (!data && size) return ERROR_INVALID_PARAMETER;
    StoredValue value;
    value.type = type;
    if (type == REG_SZ) {
        value.bytes = data ? StringData<Char>(data, size) : std::string();
    } else if (type == REG_DWORD) {
        if (size != 4) return ERROR_INVALID_PARAMETER;
        value.bytes.assign(reinterpret_cast<const char*>(data), 4);
    } else {
        value.bytes.assign(reinterpret_cast<const char*>(data), size);
        if (value.type == REG_SZ || value.type == REG_DWORD) value.type = REG_BINARY;
    }
    return SetValue(key, Narrow(name), std::move(value));
}

LONG DeleteTree(HKEY key, const std::string& subKey) {
    HKEY target = nullptr;
    LONG status = OpenOrCreate(key, subKey, false, &target, nullptr);
    if (status != ERROR_SUCCESS) return status;
    fs::path path = *Keys().Find(target);
    RegCloseKey(target);
    std::error_code ec;
    if (!subKey.empty() && SplitKeyPath(subKey).value().size() > 0) {
        fs::remove_all(path, ec);
        return ec ? ErrorFromCode(ec, ERROR_CANTWRITE) : ERROR_SUCCESS;
    }
    for (const auto& entry : fs::directory_iterator(path, ec)) {
        fs::remove_all(entry.path(), ec);
        if (ec) return ErrorFromCode(ec, ERROR_CANTWRITE);
    }
    return ec ? ErrorFromCode(ec, ERROR_CANTWRITE) : ERROR_SUCCESS;
}

}  // namespace

namespace platform {

fs::path RegistryRoot() {
    if (const char* explicitRoot = std::getenv("VELMORA_REGISTRY"); explicitRoot && *explicitRoot)
        return explicitRoot;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        return fs::path(data) / "velmora" / "registry";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".local" / "share" / "velmora" / "registry";
}

std::optional<std::string> ReadRegistryString(HKEY key, const std::string& subKey,
                                              const std::string& name) {
    HKEY opened = nullptr;
    if (Shielded([&] { return OpenOrCreate(key, subKey, false, &opened, nullptr); }) !=
        ERROR_SUCCESS)
        return std::nullopt;
    StoredValue value;
    const LONG status = Shielded([&] { return GetValue(opened, name, &value); });
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS || value.type != REG_SZ) return std::nullopt;
    return value.bytes;
}

}  // namespace platform

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM,
                     SECURITY_ATTRIBUTES*, HKEY* result, DWORD* disposition) {
    return Shielded([&] { return OpenOrCreate(key, Narrow(subKey), true, result, disposition); });
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, SECURITY_ATTRIBUTES*,
                     HKEY* result, DWORD* disposition) {
    return Shielded([&] { return OpenOrCreate(key, Narrow(subKey), true, result, disposition); });
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, HKEY* result) {
    return Shielded([&] { return OpenOrCreate(key, Narrow(subKey), false, result, nullptr); });
}

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, HKEY* result) {
    return Shielded([&] { return OpenOrCreate(key, Narrow(subKey), false, result, nullptr); });
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
    return Keys().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    return Shielded([&] { return SetValueGeneric(key, name, type, data, size); });
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    return Shielded([&] { return SetValueGeneric(key, name, type, data, size); });
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
    return Shielded([&] {
        StoredValue value;
        LONG status = GetValue(key, Narrow(name), &value);
        return status == ERROR_SUCCESS ? Deliver<char16_t>(value, type, data, size) : status;
    });
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
    return Shielded([&] {
        StoredValue value;
        LONG status = GetValue(key, Narrow(name), &value);
        return status == ERROR_SUCCESS ? Deliver<char>(value, type, data, size) : status;
    });
}

LONG RegDeleteValueW(HKEY key, LPCWSTR name) {
    return Shielded([&] {
        auto path = Keys().Find(key);
        if (!path) return ERROR_INVALID_HANDLE;
        std::error_code ec;
        if (!fs::remove(ValueFile(*path, Narrow(name)), ec))
            return ec ? ErrorFromCode(ec, ERROR_CANTWRITE) : ERROR_FILE_NOT_FOUND;
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
    return Shielded([&] { return DeleteTree(key, Narrow(subKey)); });
}
LONG RegDeleteTreeA(HKEY key, LPCSTR subKey) {
    return Shielded([&] { return DeleteTree(key, Narrow(subKey)); });
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameLength, DWORD*, LPWSTR, DWORD*,
                   void*) {
    return Shielded([&]() -> LONG {
        auto path = Keys().Find(key);
        if (!path) return ERROR_INVALID_HANDLE;
        if (!name || !nameLength) return ERROR_INVALID_PARAMETER;
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(*path, ec))
            if (entry.is_directory(ec)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
        std::u16string wide = platform::Utf8ToUtf16(names[index]);
        if (*nameLength < wide.size() + 1) return ERROR_MORE_DATA;
        std::copy(wide.begin(), wide.end(), name);
        name[wide.size()] = 0;
        *nameLength = static_cast<DWORD>(wide.size());
        return ERROR_SUCCESS;
    });
}
