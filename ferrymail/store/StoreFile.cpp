#include "ferrymail/store/StoreFile.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kWriteBufferSize = 1 << 20;

int PaddingOf(size_t length) { return (length % 4) == 0 ? 0 : static_cast<int>(4 - length % 4); }

}  // namespace

CStoreFile::~CStoreFile() { Close(); }

BOOL CStoreFile::Open(const char* path, UINT flags) {
    Close();
    if (flags & kModeMemory) {
        m_writeMode = true;
        m_memoryMode = true;
        m_writeError = 0;
        m_writeBuffer.clear();
        return TRUE;
    }
    if ((flags & kModeWrite) == 0)
        return CImpFile::Open(path, flags);
    m_writeError = m_writeFile.Create(path);
    if (m_writeError != 0) {
        errno = m_writeError;
        return FALSE;
    }
    m_writeMode = true;
    m_writeError = 0;
    m_writeBuffer.clear();
    m_writeBuffer.reserve(kWriteBufferSize);
    return TRUE;
}

std::string CStoreFile::TakeBytes() {
    std::string bytes;
    if (m_memoryMode)
        bytes.swap(m_writeBuffer);
    return bytes;
}

BOOL CStoreFile::FlushBuffer() {
    if (m_memoryMode)
        return TRUE;
    if (m_writeError == 0)
        m_writeError = m_writeFile.Write(m_writeBuffer.data(), m_writeBuffer.size());
    m_writeBuffer.clear();
    return m_writeError == 0;
}

BOOL CStoreFile::CloseFile() {
    if (!m_writeMode) {
        CImpFile::Close();
        return TRUE;
    }
    if (m_memoryMode) {
        m_writeMode = m_memoryMode = false;
        return TRUE;
    }
    FlushBuffer();
    const int finishError = m_writeFile.Finish();
    if (m_writeError == 0)
        m_writeError = finishError;
    m_writeMode = false;
    return m_writeError == 0;
}

void CStoreFile::Close() {
    if (m_writeMode) {
        m_writeFile.Abandon();  // an abandoned write: nothing is flushed
        m_memoryMode = false;
        m_writeMode = false;
        m_writeBuffer.clear();
        return;
    }
    CImpFile::Close();
}

BOOL CStoreFile::WriteBytes(const void* bytes, size_t count) {
    if (!m_writeMode || m_writeError != 0)
        return FALSE;
    m_writeBuffer.append(static_cast<const char*>(bytes), count);
    if (m_writeBuffer.size() >= kWriteBufferSize)
        return FlushBuffer();
    return TRUE;
}

BOOL CStoreFile::WriteInt(int value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return WriteBytes(bytes, 4);
}

BOOL CStoreFile::WriteString(const std::string& text) {
    static const char kZeros[4] = {0, 0, 0, 0};
    return WriteInt(static_cast<int>(text.size())) && WriteBytes(text.data(), text.size()) &&
           WriteBytes(kZeros, PaddingOf(text.size()));
}

BOOL CStoreFile::WriteAddress(const SAddress& address) {
    return WriteString(address.m_address) && WriteString(address.m_name);
}

BOOL CStoreFile::WriteAddressArray(const std::vector<SAddress>& addresses) {
    if (!WriteInt(static_cast<int>(addresses.size())))
        return FALSE;
    for (const SAddress& address : addresses)
        if (!WriteAddress(address))
            return FALSE;
    return TRUE;
}

BOOL CStoreFile::ReadInt(int* value) {
    uint8_t bytes[4];
    if (m_writeMode || !ReadAt(bytes, 4))
        return FALSE;
    *value = static_cast<int>(static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                              (static_cast<uint32_t>(bytes[2]) << 16) |
                              (static_cast<uint32_t>(bytes[3]) << 24));
    return TRUE;
}

BOOL CStoreFile::ReadString(std::string& text) {
    int length = 0;
    if (!ReadInt(&length) || length < 0)
        return FALSE;
    long padded = static_cast<long>(length) + PaddingOf(static_cast<size_t>(length));
    if (padded > BytesLeft())
        return FALSE;
    text.resize(static_cast<size_t>(length));
    if (length > 0 && !ReadAt(text.data(), static_cast<UINT>(length)))
        return FALSE;
    if (padded > length)
        Seek(padded - length, current);
    return TRUE;
}

BOOL CStoreFile::ReadAddress(SAddress& address) {
    return ReadString(address.m_address) && ReadString(address.m_name);
}

BOOL CStoreFile::ReadAddressArray(std::vector<SAddress>& addresses) {
    addresses.clear();
    int count = 0;
    // Each address takes at least 8 bytes: a count beyond the rest of the file is bad.
    if (!ReadInt(&count) || count < 0 || count > BytesLeft() / 8)
        return FALSE;
    addresses.resize(static_cast<size_t>(count));
    for (SAddress& address : addresses)
        if (!ReadAddress(address))
            return FALSE;
    return TRUE;
}
