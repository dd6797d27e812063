#include "kinbook/foundation/AtomicFile.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "kinbook/foundation/Paths.h"

namespace {

std::atomic<unsigned> s_temporaryCounter{0};

}  // namespace

CAtomicFile::CAtomicFile(std::string path, std::string temporary)
    : m_path(std::move(path)), m_temporary(std::move(temporary)) {
    if (m_temporary.empty())
        m_temporary = m_path + ".tmp-" + std::to_string(::getpid()) + "-" +
                      std::to_string(s_temporaryCounter.fetch_add(1));
}

CAtomicFile::~CAtomicFile() {
    m_file.Abandon();
    if (m_temporaryExists)
        ::unlink(m_temporary.c_str());
}

int CAtomicFile::Fail(int error) {
    m_file.Abandon();
    if (m_temporaryExists)
        ::unlink(m_temporary.c_str());
    m_temporaryExists = false;
    return error;
}

int CAtomicFile::Create() {
    const int error = m_file.Create(m_temporary.c_str());
    if (error != 0)
        return error;
    m_temporaryExists = true;
    return 0;
}

int CAtomicFile::Write(const void* data, size_t count) {
    const int error = m_file.Write(data, count);
    return error == 0 ? 0 : Fail(error);
}

int CAtomicFile::Finish() {
    const int error = m_file.Finish();
    return error == 0 ? 0 : Fail(error);
}

int CAtomicFile::Commit() {
    if (!m_temporaryExists || m_file.IsOpen())
        return EINVAL;
    if (::rename(m_temporary.c_str(), m_path.c_str()) != 0)
        return errno;
    m_temporaryExists = false;
    m_folderSyncError = SyncParentFolder(m_path);
    return 0;
}
