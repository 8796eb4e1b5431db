#include "cli/file_naming.h"

#include <sys/stat.h>

#include <cstdio>

namespace capture {

FileNamer::FileNamer(std::string prefix, Container container, Naming naming)
    : prefix_(std::move(prefix)),
      extension_(container == Container::Dv ? ".dv" : ".avi"),
      naming_(naming) {}

std::string FileNamer::Next(const std::optional<platform::dv::RecordingDateTime>& recorded) {
    char stem[64];
    if (naming_ == Naming::Date && recorded) {
        std::snprintf(stem, sizeof stem, "-%04d.%02d.%02d_%02d-%02d-%02d", recorded->year,
                      recorded->month, recorded->day, recorded->hour, recorded->minute,
                      recorded->second);
    } else {
        std::snprintf(stem, sizeof stem, "-%04d", ++counter_);
    }
    return Unused(prefix_ + stem);
}

std::string FileNamer::Unused(const std::string& stem) {
    for (int n = 1;; ++n) {
        std::string name = stem + (n == 1 ? "" : "-" + std::to_string(n)) + extension_;
        struct stat info {};
        if (given_.count(name) || ::lstat(name.c_str(), &info) == 0) continue;
        given_.insert(name);
        return name;
    }
}

}  // namespace capture
