// The file of one message store (docs/store-format.md): read through the mapped file
// reader, or written as a plain file during a save. Owned by its store and used under the
// store's lock. Integers are 32-bit little-endian; a string is its length, its bytes and
// zero bytes up to the next multiple of 4.
#pragma once

#include <string>
#include <vector>

#include "ferrymail/store/Address.h"
#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/DurableFile.h"
#include "kinbook/foundation/ImpFile.h"

class CStoreFile : public CImpFile {
public:
    static constexpr UINT kModeWrite = 1;
    // Written into memory only (no path): the bytes are taken with TakeBytes.
    static constexpr UINT kModeMemory = 2;

    CStoreFile() = default;
    ~CStoreFile() override;

    // With kModeWrite: creates (or truncates) `path` for writing; with kModeMemory:
    // collects what is written (`path` unused); otherwise maps `path` for reading. 0 when
    // it cannot be opened (errno tells why).
    BOOL Open(const char* path, UINT flags);
    // In memory mode: everything written so far, leaving the file empty.
    std::string TakeBytes();
    // In memory mode: writes into `buffer`'s memory (its contents dropped), and makes
    // room for `count` bytes at once.
    void Reserve(std::string&& buffer, size_t count) {
        if (!m_memoryMode)
            return;
        m_writeBuffer = std::move(buffer);
        m_writeBuffer.clear();
        m_writeBuffer.reserve(count);
    }
    // Closes; in write mode the buffered bytes are written and flushed to the disk
    // first, and the result is 0 when that failed.
    BOOL CloseFile();
    void Close() override;
    bool IsWriteMode() const { return m_writeMode; }
    // errno of the first write failure (0: none).
    int GetWriteError() const { return m_writeError; }

    // Each returns 1, or 0 once a write failed (the file is then unusable).
    BOOL WriteBytes(const void* bytes, size_t count);
    BOOL WriteInt(int value);
    BOOL WriteString(const std::string& text);
    BOOL WriteAddress(const SAddress& address);
    BOOL WriteAddressArray(const std::vector<SAddress>& addresses);

    // Each returns 1, or 0 when the file ends before the item does (a length that does
    // not fit in the rest of the file counts as such).
    BOOL ReadInt(int* value);
    BOOL ReadString(std::string& text);
    BOOL ReadAddress(SAddress& address);
    BOOL ReadAddressArray(std::vector<SAddress>& addresses);

private:
    BOOL FlushBuffer();

    bool m_writeMode = false;
    bool m_memoryMode = false;
    CDurableFile m_writeFile;
    int m_writeError = 0;
    std::string m_writeBuffer;
};
