#include "platform/filters/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "platform/kernel/text.h"

namespace platform::filters {

UniqueFd::~UniqueFd() {
    Close();
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.Release();
    }
    return *this;
}

int UniqueFd::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

HRESULT UniqueFd::Close() {
    if (fd_ < 0) return S_OK;
    // The descriptor is gone after close even when it reports an error, so it is never retried.
    int result = ::close(Release());
    return result == 0 || errno == EINTR ? S_OK : HresultFromErrno(errno);
}

HRESULT HresultFromErrno(int error) {
    switch (error) {
        case 0:
            return S_OK;
        case ENOENT:
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        case ENOTDIR:
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return E_ACCESSDENIED;
        case ENOSPC:
        case EDQUOT:
            return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
        case ENAMETOOLONG:
            return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
        case ENOMEM:
            return E_OUTOFMEMORY;
        case EBADF:
            return E_HANDLE;
        case EINVAL:
        case EFBIG:
        case EOVERFLOW:
            return E_INVALIDARG;
        default:
            return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    }
}

HRESULT PathFromWide(LPCWSTR path, std::string* out) {
    if (!path || !out) return E_POINTER;
    std::u16string_view wide(path, WideLength(path));
    if (wide.empty()) return E_INVALIDARG;
    bool valid = false;
    std::string narrow = Utf16ToUtf8(wide, &valid);
    if (!valid) return E_INVALIDARG;
    *out = std::move(narrow);
    return S_OK;
}

HRESULT ReadAt(int fd, LONGLONG position, BYTE* buffer, LONG length, LONG* done) {
    *done = 0;
    if (position < 0 || length < 0) return E_INVALIDARG;
    if (length > 0 && !buffer) return E_POINTER;
    while (*done < length) {
        if (position > std::numeric_limits<off_t>::max() - *done) return S_OK;  // past any end
        ssize_t n = ::pread(fd, buffer + *done, static_cast<size_t>(length - *done),
                            static_cast<off_t>(position + *done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            return errno == EIO ? HRESULT_FROM_WIN32(ERROR_READ_FAULT) : HresultFromErrno(errno);
        if (n == 0) break;  // end of file
        *done += static_cast<LONG>(n);
    }
    return S_OK;
}

HRESULT WriteAt(int fd, LONGLONG position, const BYTE* data, LONG length) {
    if (position < 0 || length < 0) return E_INVALIDARG;
    if (length > 0 && !data) return E_POINTER;
    if (position > std::numeric_limits<off_t>::max() - length) return E_INVALIDARG;
    LONG written = 0;
    while (written < length) {
        ssize_t n = ::pwrite(fd, data + written, static_cast<size_t>(length - written),
                             static_cast<off_t>(position + written));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return HresultFromErrno(errno);
        if (n == 0) return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        written += static_cast<LONG>(n);
    }
    return S_OK;
}

HRESULT AllocateRoom(int fd, LONGLONG from, LONGLONG end) {
    if (from < 0 || end <= from) return S_OK;
    for (;;) {
        if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, from, end - from) == 0) return S_OK;
        if (errno == EINTR) continue;
        if (errno == EOPNOTSUPP || errno == ENOSYS) return S_FALSE;
        return HresultFromErrno(errno);
    }
}

HRESULT TrimFile(int fd, LONGLONG end, LONGLONG reservedEnd) {
    if (end < 0) return E_INVALIDARG;
    // Room allocated ahead past the end would stay taken on file systems that keep it.
    if (reservedEnd > end)
        ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, end, reservedEnd - end);
    return ::ftruncate(fd, end) == 0 ? S_OK : HresultFromErrno(errno);
}

}  // namespace platform::filters
