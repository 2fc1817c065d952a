#pragma once

#include <QByteArray>

#include <cstddef>

// The POSIX pieces the core's file copies share; paths are already encoded (QFile::encodeName).

// Opens a plain file for reading without blocking: a FIFO in the file's place cannot hold the
// open. The descriptor, or -1 with `error` set (EISDIR for a folder, EINVAL for anything else
// that is no plain file). `size`, when given, receives the file's size.
int openPlainFile(const QByteArray &path, int &error, qint64 *size = nullptr) noexcept;

// A new file that only the owner may read, even while it is written; -1 with errno when it
// exists or can't be made.
int createPrivateFile(const QByteArray &path) noexcept;

// Writes all `size` bytes, through interruptions. 0, or the errno of the failure.
int writeAll(int fd, const void *data, std::size_t size) noexcept;
