#pragma once

#include <QtGlobal>

// The first bytes of an open regular file mapped into memory, read-only, for the routines
// that read a whole file once: reading a mapping spares copying every byte out of the page
// cache, which for a checksum costs more than the sum itself.
//
// A mapped file can shrink under the reader (another process truncates it) and a page can
// fail to read (a disk error); touching such a page raises SIGBUS, which would end the
// process. The reading functions here catch it: while one runs, a handler of SIGBUS is
// installed (once for all threads that read at that moment, the one that was there before
// put back after the last) and a fault inside this thread's mapping returns to the reader,
// which reports that the mapping failed. Any other SIGBUS goes on to the handler that was
// there before, or ends the process as it would have.
class FileMapping
{
public:
    // Maps [0, size) of `fd`; isMapped() is false when the file cannot be mapped.
    FileMapping(int fd, qint64 size);
    FileMapping(const FileMapping &) = delete;
    FileMapping &operator=(const FileMapping &) = delete;
    ~FileMapping();

    bool isMapped() const { return m_data != nullptr; }
    qint64 size() const { return m_size; }

    // Carries zlib's CRC-32 register `crc` over the whole mapping. False when a page
    // could not be read; *crc is then undefined.
    bool crc32(quint32 *crc) const;

private:
    const unsigned char *m_data = nullptr;
    qint64 m_size = 0;
};
