// HID devices of a Linux system through hidraw: the nodes and their report descriptors from
// sysfs, reads that an eventfd can end, feature reports by ioctl.

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/hid/backend.h"

namespace platform::hid {

namespace {

namespace fs = std::filesystem;

constexpr char kSysClass[] = "/sys/class/hidraw";
constexpr std::size_t kMaxReport = 16384;  // the kernel's largest HID report buffer

// The N of "hidrawN", or -1.
long NodeNumber(const std::string& name) {
    constexpr std::string_view prefix = "hidraw";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
    const std::string digits = name.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), ::isdigit) || digits.size() > 9) return -1;
    return std::stol(digits);
}

std::vector<std::uint8_t> ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The release number of the USB device above the hidraw node, 0 when there is none.
USHORT ReleaseNumber(const std::string& nodeName) {
    std::error_code ec;
    fs::path dir = fs::canonical(fs::path(kSysClass) / nodeName / "device", ec);
    for (int up = 0; !ec && up < 6 && dir.has_parent_path(); ++up, dir = dir.parent_path()) {
        std::ifstream in(dir / "bcdDevice");
        unsigned value = 0;
        if (in >> std::hex >> value) return static_cast<USHORT>(value);
    }
    return 0;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return ERROR_FILE_NOT_FOUND;
        default:
            return ERROR_GEN_FAILURE;
    }
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }

  private:
    int fd_;
};

class HidrawDevice : public RawDevice {
  public:
    HidrawDevice(int fd, int cancel, std::string nodeName)
        : fd_(fd), cancel_(cancel), nodeName_(std::move(nodeName)) {}

    std::optional<HIDD_ATTRIBUTES> Attributes() override {
        hidraw_devinfo info{};
        if (::ioctl(fd_.Get(), HIDIOCGRAWINFO, &info) < 0) return std::nullopt;
        return HIDD_ATTRIBUTES{sizeof(HIDD_ATTRIBUTES), static_cast<USHORT>(info.vendor),
                               static_cast<USHORT>(info.product), ReleaseNumber(nodeName_)};
    }

    std::vector<std::uint8_t> ReportDescriptor() override {
        int size = 0;
        if (::ioctl(fd_.Get(), HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 ||
            size > HID_MAX_DESCRIPTOR_SIZE)
            return {};
        hidraw_report_descriptor descriptor{};
        descriptor.size = static_cast<__u32>(size);
        if (::ioctl(fd_.Get(), HIDIOCGRDESC, &descriptor) < 0) return {};
        return {descriptor.value, descriptor.value + size};
    }

    ReadStatus Read(std::vector<std::uint8_t>& report) override {
        for (;;) {
            pollfd fds[2] = {{cancel_.Get(), POLLIN, 0}, {fd_.Get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return ReadStatus::Gone;
            }
            if (fds[0].revents) return ReadStatus::Cancelled;
            if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return ReadStatus::Gone;
            report.resize(kMaxReport);
            const ssize_t got = ::read(fd_.Get(), report.data(), report.size());
            if (got > 0) {
                report.resize(static_cast<std::size_t>(got));
                return ReadStatus::Report;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            return ReadStatus::Gone;
        }
    }

    void Cancel() override {
        const std::uint64_t one = 1;
        // The counter stays non-zero: every later read is cancelled too.
        [[maybe_unused]] ssize_t written = ::write(cancel_.Get(), &one, sizeof one);
    }

    bool SetFeature(std::span<const std::uint8_t> report) override {
        if (report.empty() || report.size() > kMaxReport) return false;
        std::vector<std::uint8_t> copy(report.begin(), report.end());
        return ::ioctl(fd_.Get(), HIDIOCSFEATURE(copy.size()), copy.data()) >= 0;
    }

  private:
    FileDescriptor fd_;
    FileDescriptor cancel_;
    std::string nodeName_;
};

class HidrawBackend : public Backend {
  public:
    std::vector<DeviceNode> Nodes() override {
        std::vector<std::pair<long, std::string>> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(kSysClass, ec)) {
            const std::string name = entry.path().filename().string();
            if (long number = NodeNumber(name); number >= 0) names.emplace_back(number, name);
        }
        std::sort(names.begin(), names.end());
        std::vector<DeviceNode> nodes;
        for (const auto& [number, name] : names) {
            auto descriptor =
                ReadFileBytes(fs::path(kSysClass) / name / "device/report_descriptor");
            if (!descriptor.empty()) nodes.push_back({"/dev/" + name, std::move(descriptor)});
        }
        return nodes;
    }

    std::unique_ptr<RawDevice> Open(const std::string& path, DWORD* error) override {
        const std::string name = fs::path(path).filename().string();
        if (path.rfind("/dev/", 0) != 0 || NodeNumber(name) < 0) {
            *error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            *error = ErrorFromErrno(errno);
            return nullptr;
        }
        const int cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (cancel < 0) {
            ::close(fd);
            *error = ERROR_GEN_FAILURE;
            return nullptr;
        }
        return std::make_unique<HidrawDevice>(fd, cancel, name);
    }
};

}  // namespace

std::shared_ptr<Backend> MakeHidrawBackend() {
    return std::make_shared<HidrawBackend>();
}

}  // namespace platform::hid
