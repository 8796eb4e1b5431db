#pragma once
// File access shared by the file filters: an owned descriptor, positioned reads and writes that
// finish or say why not, and the platform's codes for the system's errors.

#include <string>

#include "platform/com/hresult.h"

namespace platform::filters {

// One open file descriptor, closed with the object.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();
    // Closes the file now; an error of the close (a late write failure) as an HRESULT.
    HRESULT Close();

  private:
    int fd_ = -1;
};

// The platform's code for an errno value.
HRESULT HresultFromErrno(int error);

// The UTF-8 path for a UTF-16 one; E_POINTER for null, E_INVALIDARG for an empty path or one
// that is not valid UTF-16 (never opened under a substituted name).
HRESULT PathFromWide(LPCWSTR path, std::string* out);

// Reads up to `length` bytes at `position`, retrying interrupted and partial reads; stops early
// only at the end of the file. *done is the number of bytes read.
HRESULT ReadAt(int fd, LONGLONG position, BYTE* buffer, LONG length, LONG* done);

// Writes all `length` bytes at `position`, or fails saying why.
HRESULT WriteAt(int fd, LONGLONG position, const BYTE* data, LONG length);

// Allocates room for the file up to `end` without changing its size. ERROR_DISK_FULL when the
// room is not there; S_FALSE where the file system cannot allocate ahead.
HRESULT AllocateRoom(int fd, LONGLONG from, LONGLONG end);

// Sets the file's size to `end` and gives back room allocated ahead beyond it, up to
// `reservedEnd`.
HRESULT TrimFile(int fd, LONGLONG end, LONGLONG reservedEnd);

}  // namespace platform::filters
