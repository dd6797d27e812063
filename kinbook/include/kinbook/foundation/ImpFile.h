// A read-only file mapped whole into memory when opened; reads, strings and seeks are
// served from the mapping. Not shared between threads.
#pragma once

#include <string>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CImpFile {
public:
    enum SeekPosition : UINT { begin = 0, current = 1, end = 2 };

    CImpFile() = default;
    virtual ~CImpFile();
    CImpFile(const CImpFile&) = delete;
    CImpFile& operator=(const CImpFile&) = delete;

    // Opens and maps `path` for reading; 0 (object closed) when it cannot. Files of 2 GiB
    // or more are refused, since positions are 32-bit, and so is anything but a regular
    // file. `flags` (the toolkit's open modes) change nothing: the file is only read.
    // An open object is closed first.
    BOOL Open(const char* path, UINT flags = 0);
    virtual void Close();

    // New position; -1 with the position kept and GetLastError() 25 (seek error) when the
    // result would lie outside 0..size or `from` is none of the three.
    virtual long Seek(long offset, UINT from);
    // Copies `count` bytes at (offset, from) and advances; (0, current) reads at the
    // position. 0 without copying when the position is outside the file or fewer bytes
    // are left.
    BOOL ReadAt(void* buffer, UINT count, long offset = 0, UINT from = current);
    // The zero-terminated text at (offset, from), ending at the end of the file when no
    // zero byte comes first; the position stays. 0 (text empty) for a position outside
    // the file.
    BOOL ReadStringAt(std::string& text, long offset = 0, UINT from = current);
    // A pointer into the mapping at (offset, from), valid until the file is closed ("" when
    // no file is open, null for a position outside the file). Zero bytes follow the file
    // inside the mapping, so the text always ends there; it ends at the end of the file
    // unless the file grew after it was opened, so callers that need the file's own bound
    // use GetStringLengthAt.
    const char* GetStringAt(long offset = 0, UINT from = current);
    // Length of the text at the position, stopping at a zero byte or the end of the file.
    long GetStringLengthAt() const;
    BOOL CheckSignature(const char* bytes, DWORD count);

    bool IsOpen() const { return m_fd >= 0; }
    bool AtEnd() const { return m_position >= m_size; }
    long BytesLeft() const { return m_size - m_position; }
    long GetPosition() const { return m_position; }
    long GetLength() const { return m_size; }
    const std::string& GetFilePath() const { return m_fileName; }
    // 25 after a failed seek, 0 after a successful one.
    LONG GetLastError() const { return m_lastError; }

protected:
    void Shutdown();

private:
    bool SeekFor(long offset, UINT from);

    int m_fd = -1;
    std::string m_fileName;
    void* m_mapping = nullptr;  // whole file, or one anonymous byte for an empty file
    size_t m_mappedLength = 0;
    const char* m_view = nullptr;
    int32_t m_position = 0;
    int32_t m_size = 0;
    LONG m_lastError = 0;
};
