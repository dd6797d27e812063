// TEMPORARY: an in-memory stand-in for the message store so that the message database and
// its tests link until the real store lands. No file is read or written.
#include "ferrymail/MessageStore.h"

CStoreFile::~CStoreFile() = default;

void CStoreFile::Close() { CImpFile::Close(); }

CRecordStore::CRecordStore() = default;

CRecordStore::~CRecordStore() {
    for (auto& entry : m_messages)
        CRefCount::DoRelease(entry.second);
}

BOOL CRecordStore::Load(int) { return TRUE; }

BOOL CRecordStore::Save(int) { return TRUE; }

BOOL CRecordStore::InstallMessage(CMessage* message, int addToList) {
    CLock lock(&m_lock);
    auto found = m_messages.find(message->GetUIDL());
    if (found != m_messages.end()) {
        RemoveMessage(found->second);
        CRefCount::DoRelease(found->second);
        m_messages.erase(found);
    }
    message->AddRef();
    message->SetStore(GetStoreID());
    m_messages[message->GetUIDL()] = message;
    return addToList ? AddToServerList(message, -1) : TRUE;
}

CMessageStore::CMessageStore() = default;

CMessageStore::~CMessageStore() = default;

BOOL CMessageStore::Open(CMessageDatabase* database, int storeID, const std::string& server,
                         const std::string& user, int passAll) {
    CLock lock(&m_lock);
    m_database = database;
    m_storeID = storeID;
    m_key = server + "-" + user;
    m_name = user + "@" + server;
    m_passAll = passAll;
    return TRUE;
}

BOOL CMessageStore::BeginSession(int acquire) {
    if (!acquire)
        return TRUE;
    if (!m_sessionMutex.TryLock(0))
        return FALSE;
    CLock lock(&m_lock);
    m_inSession = 1;
    return TRUE;
}

void CMessageStore::EndSession() {
    {
        CLock lock(&m_lock);
        m_inSession = 0;
    }
    m_sessionMutex.ReleaseLock();
}

void CMessageStore::ChangeLocation(CMessage*, MSSTATUS, MSSTATUS) {}

int CMessageStore::FindNext(MSSTATUS location, int after, int* count, std::string* uidl) {
    CLock lock(&m_lock);
    int first = 0;
    if (count != nullptr)
        *count = 0;
    for (int number = after + 1; number <= static_cast<int>(m_serverList.size()); ++number) {
        auto found = m_messages.find(m_serverList[number - 1]);
        if (found == m_messages.end() || found->second->IsDeleted())
            continue;
        if (location != MS_ANY && found->second->GetLocation() != location)
            continue;
        if (first == 0) {
            first = number;
            if (uidl != nullptr)
                *uidl = found->first;
        }
        if (count == nullptr)
            break;
        ++*count;
    }
    return first;
}

CMessage* CMessageStore::GetMessage(const std::string& uidl) {
    CLock lock(&m_lock);
    auto found = m_messages.find(uidl);
    return found != m_messages.end() ? found->second : nullptr;
}

void CMessageStore::GetStats(int* count, int* size, int* inboxCount, int* inboxSize,
                             int* jailCount, int* jailSize, int* holdCount, int* holdSize,
                             int* deletedCount, int* deletedSize) {
    CLock lock(&m_lock);
    struct {
        MSSTATUS location;
        int* count;
        int* size;
    } pairs[] = {{MS_ANY, count, size},
                 {MS_INBOX, inboxCount, inboxSize},
                 {MS_JAIL, jailCount, jailSize},
                 {MS_HOLD, holdCount, holdSize},
                 {MS_DELETED, deletedCount, deletedSize}};
    for (auto& pair : pairs) {
        if (pair.count != nullptr)
            *pair.count = 0;
        if (pair.size != nullptr)
            *pair.size = 0;
    }
    for (const std::string& uidl : m_serverList) {
        auto found = m_messages.find(uidl);
        if (found == m_messages.end())
            continue;
        for (auto& pair : pairs) {
            if (pair.location != MS_ANY && pair.location != found->second->GetLocation())
                continue;
            if (pair.count != nullptr)
                ++*pair.count;
            if (pair.size != nullptr)
                *pair.size += found->second->GetSizeInStore();
        }
    }
}

BOOL CMessageStore::AddToServerList(CMessage* message, int position) {
    CLock lock(&m_lock);
    if (position == -1)
        position = static_cast<int>(m_serverList.size()) + 1;
    if (position < 1)
        return FALSE;
    if (static_cast<int>(m_serverList.size()) < position)
        m_serverList.resize(position);
    m_serverList[position - 1] = message->GetUIDL();
    message->SetMessageNumber(position);
    return TRUE;
}

void CMessageStore::RemoveMessage(CMessage* message) {
    CLock lock(&m_lock);
    int number = message->GetMessageNumber();
    if (number >= 1 && number <= static_cast<int>(m_serverList.size()) &&
        m_serverList[number - 1] == message->GetUIDL())
        m_serverList.erase(m_serverList.begin() + (number - 1));
}

void CMessageStore::OnEmptyFile(int) {}

void CMessageStore::OnBadFile() {}

BOOL CMessageStore::WriteHeader(CStoreFile&) { return TRUE; }

void CMessageStore::AfterSave(int) {}

BOOL CMessageStore::ReadHeader(CStoreFile&) { return TRUE; }

void CMessageStore::OnLoadFailed() {}
