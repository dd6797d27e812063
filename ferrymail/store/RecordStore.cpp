#include "ferrymail/store/RecordStore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "ferrymail/store/StoreLock.h"
#include "kinbook/foundation/AtomicFile.h"
#include "kinbook/foundation/FoundationLog.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/StringTable.h"

namespace {

constexpr char kSignature[4] = {'S', 'T', 'O', 'R'};
constexpr char kEndSignature[4] = {'R', 'O', 'T', 'S'};
constexpr uint8_t kVersion[4] = {1, 0, 0, 0};
// A save buffer larger than this is not kept for the next save.
constexpr size_t kLargestSpare = 64 << 20;

CCritical s_promptLock;
StoreErrorPrompt s_prompt;  // guarded by s_promptLock

std::string Format(const char* format, const std::string& name, long position) {
    char text[1024];
    std::snprintf(text, sizeof text, format, name.c_str(), static_cast<int>(position));
    return text;
}

}  // namespace

void SetStoreErrorPrompt(StoreErrorPrompt prompt) {
    CLock guard(&s_promptLock);
    s_prompt = std::move(prompt);
}

int ShowStoreError(const std::string& text, bool retryCancel) {
    StoreErrorPrompt prompt;
    {
        CLock guard(&s_promptLock);
        prompt = s_prompt;
    }
    if (!prompt) {
        FoundationLog("%s", text.c_str());
        return 0;  // Cancel
    }
    return prompt(text, retryCancel);
}

CRecordStore::CRecordStore() = default;

CRecordStore::~CRecordStore() {
    {
        std::lock_guard<std::mutex> guard(m_writerMutex);
        m_writerStop = true;
    }
    m_writerWake.notify_all();
    if (m_writer.joinable())
        m_writer.join();  // what was handed over still reaches the disk
    for (auto& [uidl, message] : m_messages)
        CRefCount::DoRelease(message);
    m_file.Close();
}

BOOL CRecordStore::ReportFileError(const std::string& file, DWORD error, const char* operation,
                                   const char* secondFile) {
    std::string system;
    if (!GetErrorString(error, system))
        system = "unknown error";
    char text[2048];
    std::snprintf(text, sizeof text, "%s of %s failed with '%s' (%x). File(s): %s%s%s", operation,
                  GetName().c_str(), system.c_str(), error, file.c_str(),
                  secondFile != nullptr ? ", " : "", secondFile != nullptr ? secondFile : "");
    return ShowStoreError(text, true);
}

BOOL CRecordStore::Load(int passAll) {
    CStoreLock lock(this, false);
    BOOL result = TRUE;
    long size = m_file.GetLength();
    if (size == 0) {
        OnEmptyFile(passAll);
        m_dirty = 1;
    } else {
        bool good = false;
        char begin[4], end[4];
        uint8_t version[4];
        good = size >= 12 && m_file.ReadAt(begin, 4, 0, CImpFile::begin) &&
               m_file.ReadAt(version, 4) && m_file.ReadAt(end, 4, -4, CImpFile::end) &&
               std::memcmp(begin, kSignature, 4) == 0 &&
               std::memcmp(end, kEndSignature, 4) == 0 && version[0] == kVersion[0] &&
               version[1] == kVersion[1] && version[2] == kVersion[2] &&
               m_file.Seek(8, CImpFile::begin) >= 0 && ReadHeader(m_file) != FALSE;
        if (!good) {
            // Kept aside rather than overwritten by the next save: it may be a newer
            // version's file or one damaged on disk that someone wants to look into.
            std::string aside = m_path + ".bad-" + std::to_string(time(nullptr));
            const bool keptAside = RenameFile(m_path, aside) == 0;
            FoundationLog("store file %s is not a store file of this version; the store starts "
                          "empty (the file is kept as %s)",
                          m_path.c_str(), keptAside ? aside.c_str() : "it is, until the next save");
            OnBadFile();
            m_dirty = 1;
        } else {
            while (result && m_file.BytesLeft() > 4) {
                CMessage* message = new CMessage;
                const bool loaded = message->Load(m_file) != 0;
                // A new message has no reference yet: the store takes the first one.
                const char* failure = nullptr;
                if (!loaded) {
                    failure = "Error loading message from file %s, pos %d";
                    CRefCount::DoRelease(message);
                } else if (!InstallMessage(message, 1)) {
                    failure = "Error installing message from file %s, pos %d";
                }
                if (failure != nullptr) {
                    std::string text = Format(failure, GetName(), m_file.GetPosition());
                    FoundationLog("%s; the store file %s is left as it is and the account is "
                                  "not filtered in this run",
                                  text.c_str(), m_path.c_str());
                    ShowStoreError(text, false);
                    OnLoadFailed();
                    result = FALSE;
                }
            }
            if (result)
                m_dirty = 0;  // the store is what its file holds
        }
    }
    m_file.Close();
    return result;
}

BOOL CRecordStore::InstallMessage(CMessage* message, int addToList) {
    CStoreLock lock(this, true);
    auto found = m_messages.find(message->GetUIDL());
    if (found != m_messages.end()) {
        CMessage* previous = found->second;
        RemoveMessage(previous);
        m_messages.erase(message->GetUIDL());
        CRefCount::DoRelease(previous);
    }
    message->AddRef();
    message->SetStore(GetStoreID());
    m_messages[message->GetUIDL()] = message;
    if (addToList)
        return AddToServerList(message, -1);
    return TRUE;
}

BOOL CRecordStore::WriteRecords(CStoreFile& file, int skipDeleted, int& skipped) {
    skipped = 0;
    bool ok = file.WriteBytes(kSignature, 4) && file.WriteBytes(kVersion, 4) && WriteHeader(file);
    for (size_t i = 0; ok && i < m_serverList.size(); ++i) {
        auto found = m_messages.find(m_serverList[i]);
        if (found == m_messages.end())
            continue;
        if (skipDeleted && found->second->IsDeleted()) {
            ++skipped;
            continue;
        }
        ok = found->second->Write(file) != 0;
    }
    return ok && file.WriteBytes(kEndSignature, 4);
}

bool CRecordStore::MakeFileBytes(int skipDeleted, int& skipped, std::string&& buffer,
                                 std::string& bytes) {
    CStoreFile file;
    if (!file.Open(nullptr, CStoreFile::kModeMemory)) {
        FoundationLog("cannot save store %s: no memory for its records", m_name.c_str());
        return false;
    }
    // A reused buffer's pages are already there: no page faults for a large store.
    file.Reserve(std::move(buffer), m_lastSaveSize + m_lastSaveSize / 8 + 4096);
    if (!WriteRecords(file, skipDeleted, skipped)) {
        FoundationLog("cannot save store %s: a record cannot be written", m_name.c_str());
        return false;
    }
    bytes = file.TakeBytes();
    m_lastSaveSize = bytes.size();
    return true;
}

std::string CRecordStore::TakeSpareBuffer() {
    std::string spare;
    std::lock_guard<std::mutex> guard(m_writerMutex);
    if (!m_spareBuffers.empty()) {
        spare.swap(m_spareBuffers.back());
        m_spareBuffers.pop_back();
    }
    return spare;
}

BOOL CRecordStore::SaveInBackground(int skipDeleted) {
    CStoreLock lock(this, false);
    TakeSaveSoon();  // this save has everything it would have
    if (m_writeFailed.exchange(false))
        m_dirty = 1;
    if (!m_dirty)
        return TRUE;
    int skipped = 0;
    std::string bytes;
    if (!MakeFileBytes(skipDeleted, skipped, TakeSpareBuffer(), bytes))
        return FALSE;
    {
        std::lock_guard<std::mutex> guard(m_writerMutex);
        // Each save holds the whole store: a newer one makes any still waiting useless.
        m_pendingSaves.clear();
        m_pendingSaves.push_back(std::move(bytes));
        if (!m_writer.joinable())
            m_writer = std::thread(&CRecordStore::WriterLoop, this);
    }
    m_writerWake.notify_one();
    AfterSave(skipped);
    m_dirty = 0;
    return TRUE;
}

void CRecordStore::FlushSaves() {
    std::unique_lock<std::mutex> guard(m_writerMutex);
    m_writerIdle.wait(guard, [this] { return m_pendingSaves.empty() && !m_writing; });
}

void CRecordStore::SaveSoon() {
    {
        std::lock_guard<std::mutex> guard(m_writerMutex);
        if (!m_saveSoon) {
            m_saveSoon = true;
            m_saveSoonAt = std::chrono::steady_clock::now() + kSaveSoonDelay;
        }
        if (!m_writer.joinable())
            m_writer = std::thread(&CRecordStore::WriterLoop, this);
    }
    m_writerWake.notify_one();
}

bool CRecordStore::IsSaveSoonAsked() {
    std::lock_guard<std::mutex> guard(m_writerMutex);
    return m_saveSoon;
}

bool CRecordStore::TakeSaveSoon() {
    std::lock_guard<std::mutex> guard(m_writerMutex);
    const bool asked = m_saveSoon;
    m_saveSoon = false;
    return asked;
}

void CRecordStore::WriteSaveSoon(std::unique_lock<std::mutex>& guard) {
    // Counted as writing, so that FlushSaves (and the store's end) waits for it.
    m_writing = true;
    guard.unlock();
    // The store lock is taken only when free: a thread that holds it may be waiting
    // for this thread (FlushSaves), and will save the store itself.
    if (!m_lock.TryLock()) {
        guard.lock();
        m_writing = false;
        m_writerIdle.notify_all();
        // Waiting lets go of the writer's mutex, so a FlushSaves waiter sees it idle.
        m_writerWake.wait_for(guard, std::chrono::milliseconds(5));
        return;
    }
    std::string bytes;
    bool made = false;
    if (TakeSaveSoon()) {
        if (m_writeFailed.exchange(false))
            m_dirty = 1;
        int skipped = 0;
        if (m_dirty && MakeFileBytes(0, skipped, std::string(), bytes)) {
            m_dirty = 0;
            made = true;
        }
    }
    // Queued before the store lock goes: a save made after this one, once the lock is
    // free, must find these bytes in the queue, not be replaced by them.
    guard.lock();
    m_lock.ReleaseLock();
    m_writing = false;
    if (made) {
        m_pendingSaves.clear();
        m_pendingSaves.push_back(std::move(bytes));
    } else {
        m_writerIdle.notify_all();
    }
}

void CRecordStore::WriterLoop() {
    std::unique_lock<std::mutex> guard(m_writerMutex);
    for (;;) {
        auto ready = [this] {
            return m_writerStop || !m_pendingSaves.empty() ||
                   (m_saveSoon && std::chrono::steady_clock::now() >= m_saveSoonAt);
        };
        if (m_saveSoon)
            m_writerWake.wait_until(guard, m_saveSoonAt, ready);
        else
            m_writerWake.wait(guard, ready);
        if (m_pendingSaves.empty() && !m_writerStop && m_saveSoon &&
            std::chrono::steady_clock::now() >= m_saveSoonAt) {
            WriteSaveSoon(guard);
            continue;
        }
        if (m_pendingSaves.empty()) {
            if (m_writerStop)
                return;  // stopped with nothing left
            continue;
        }
        std::string bytes = std::move(m_pendingSaves.front());
        m_pendingSaves.pop_front();
        m_writing = true;
        guard.unlock();
        const bool written = WriteStoreFile(bytes, false);
        guard.lock();
        m_writing = false;
        if (bytes.capacity() <= kLargestSpare && m_spareBuffers.size() < 2)
            m_spareBuffers.push_back(std::move(bytes));
        // A newer save already waiting writes the same records and more.
        if (!written && m_pendingSaves.empty())
            m_writeFailed = true;
        if (m_pendingSaves.empty())
            m_writerIdle.notify_all();
    }
}

bool CRecordStore::WriteStoreFile(const std::string& bytes, bool askOnRename) {
    CAtomicFile file(m_path, m_path + ".new");
    const char* temporary = file.GetTemporaryPath().c_str();
    int error = file.Create();
    if (error != 0) {
        FoundationLog("cannot save store %s: cannot create %s: %s", m_name.c_str(), temporary,
                      std::strerror(error));
        return false;
    }
    error = file.Write(bytes.data(), bytes.size());
    if (error == 0)
        error = file.Finish();
    if (error != 0) {
        FoundationLog("cannot save store %s: writing %s failed: %s", m_name.c_str(), temporary,
                      std::strerror(error));
        return false;
    }
    // The new file replaces the old one in one step: there is always a whole store file.
    while ((error = file.Commit()) != 0) {
        if (!askOnRename) {
            FoundationLog("cannot save store %s: cannot rename %s: %s", m_name.c_str(),
                          temporary, std::strerror(error));
            return false;
        }
        if (!ReportFileError(m_path, static_cast<DWORD>(error), "Rename store file during save",
                             temporary))
            return false;
    }
    return true;
}

BOOL CRecordStore::Save(int skipDeleted) {
    CStoreLock lock(this, false);
    TakeSaveSoon();  // this save has everything it would have
    // A save still on its way to the disk must not land over this one, and one that
    // failed is made again here.
    FlushSaves();
    if (m_writeFailed.exchange(false))
        m_dirty = 1;
    if (!m_dirty)
        return TRUE;
    int skipped = 0;
    std::string bytes;
    if (!MakeFileBytes(skipDeleted, skipped, TakeSpareBuffer(), bytes) ||
        !WriteStoreFile(bytes, true))
        return FALSE;
    {
        std::lock_guard<std::mutex> guard(m_writerMutex);
        if (bytes.capacity() <= kLargestSpare && m_spareBuffers.size() < 2)
            m_spareBuffers.push_back(std::move(bytes));
    }
    AfterSave(skipped);
    m_dirty = 0;
    return TRUE;
}
