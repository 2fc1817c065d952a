#include "PlainFile.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int openPlainFile(const QByteArray &path, int &error, qint64 *size) noexcept
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    struct stat st {};
    error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (error) {
        ::close(fd);
        return -1;
    }
    if (size)
        *size = qint64(st.st_size);
    return fd;
}

int createPrivateFile(const QByteArray &path) noexcept
{
    return ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
}

int writeAll(int fd, const void *data, std::size_t size) noexcept
{
    const auto *bytes = static_cast<const char *>(data);
    for (std::size_t done = 0; done < size;) {
        const ssize_t put = ::write(fd, bytes + done, size - done);
        if (put > 0)
            done += std::size_t(put);
        else if (put == 0)
            return EIO;
        else if (errno != EINTR)
            return errno;
    }
    return 0;
}
