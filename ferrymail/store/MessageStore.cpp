#include "ferrymail/store/MessageStore.h"


#include <algorithm>
#include <functional>
#include <cerrno>
#include <cstring>

#include "ferrymail/store/MessageDatabase.h"
#include "kinbook/foundation/FoundationLog.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/TextHelpers.h"

namespace {

constexpr const char kSkippedNote[] = "Skipped because synchronizing new message store";

// Bytes that may not stand in a file name built from names a client sent: separators,
// control bytes, and the escape byte itself. Each is written as %XX, so different names
// never share a file.
std::string SafeFileNamePart(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c == '/' || c == '\\' || c == '%' || c < 0x20 || c == 0x7F) {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string GetMessageStoreFolder() {
    const std::string& data = GetUserDataPath();
    std::string folder = data.empty() ? std::string("MessageStore") : data + "/MessageStore";
    if (!MakeFolders(folder))
        return data;
    return folder;
}

std::string GetStoreFilePath(const std::string& server, const std::string& user) {
    std::string folder = GetMessageStoreFolder();
    std::string name = SafeFileNamePart(server) + "-" + SafeFileNamePart(user) + ".ms";
    return folder.empty() ? name : folder + "/" + name;
}

CMessageStore::CMessageStore() = default;

CMessageStore::~CMessageStore() {
    // A background save that could not be written gets one more try while the records
    // are still here.
    // An asked-for save is made now, while the records are still here.
    if (TakeSaveSoon()) {
        Save(0);
    } else {
        FlushSaves();
        if (BackgroundSaveFailed())
            Save(0);
    }
    ClearView();
}

void CMessageStore::Notify(int code, CMessage* message) {
    if (m_database != nullptr)
        m_database->NotifyUI(static_cast<MSG_NOTIFICATION>(code), message);
}

BOOL CMessageStore::Open(CMessageDatabase* database, int storeID, const std::string& server,
                         const std::string& user, int passAll) {
    CStoreLock lock(this, false);
    m_database = database;
    m_storeID = storeID;
    if (m_opened)
        return TRUE;
    m_key = server + "-" + user;
    m_name = user + "@" + server;
    m_path = GetStoreFilePath(server, user);

    // The lock file's lock belongs to this process until it ends, however it ends.
    const std::string lockPath = m_path + ".lck";
    const int lockError = m_lockFile.Acquire(lockPath);
    if (lockError != 0) {
        FoundationLog("store %s is not opened: %s: %s", m_name.c_str(), lockPath.c_str(),
                      lockError == EWOULDBLOCK ? "in use by another process"
                                               : std::strerror(lockError));
        return FALSE;
    }
    const int createError = CreateFileIfMissing(m_path);
    if (createError != 0 || !m_file.Open(m_path.c_str(), 0)) {
        FoundationLog("store %s is not opened: %s: %s", m_name.c_str(), m_path.c_str(),
                      std::strerror(createError != 0 ? createError : errno));
        m_lockFile.Release();
        return FALSE;
    }
    if (!Load(passAll))
        return FALSE;
    m_opened = true;
    return TRUE;
}

BOOL CMessageStore::BeginSession(int acquire) {
    if (!acquire)
        return TRUE;
    if (!m_sessionMutex.TryLock(0))
        return FALSE;
    // Nothing of this goes into the store file: a session alone does not make it dirty.
    CStoreLock lock(this, false);
    m_inSession = 1;
    m_statAnswered = 0;
    RebuildClientView();
    return TRUE;
}

void CMessageStore::EndSession() {
    {
        CStoreLock lock(this, false);
        m_inSession = 0;
    }
    m_sessionMutex.ReleaseLock();
}

void CMessageStore::SetStatAnswered(int answered) {
    CStoreLock lock(this, false);
    m_statAnswered = answered;
}

void CMessageStore::RebuildClientView() {
    ClearView();
    m_clientCount = -1;
    m_clientView.reserve(m_serverList.size());
    for (const std::string& uidl : m_serverList) {
        auto found = m_messages.find(uidl);
        if (found != m_messages.end() && found->second->IsVisible())
            AppendToView(found->second);
    }
}

CMessage* CMessageStore::GetMessage(const std::string& uidl) {
    CStoreLock lock(this, false);
    auto found = m_messages.find(uidl);
    return found != m_messages.end() ? found->second : nullptr;
}

CMessage* CMessageStore::GetServerMessage(int serverNumber) {
    CStoreLock lock(this, false);
    if (serverNumber < 1 || serverNumber > static_cast<int>(m_serverList.size()))
        return nullptr;
    return GetMessage(m_serverList[serverNumber - 1]);
}

CMessage* CMessageStore::GetClientMessage(int clientNumber) {
    CStoreLock lock(this, false);
    if (clientNumber < 1 || clientNumber > static_cast<int>(m_clientView.size()))
        return nullptr;
    return m_clientView[clientNumber - 1];
}

void CMessageStore::ChangeLocation(CMessage* message, MSSTATUS oldLocation,
                                   MSSTATUS newLocation) {
    CStoreLock lock(this, true);
    if (oldLocation == newLocation)
        return;
    bool wasVisible = IsVisibleLocation(oldLocation);
    bool isVisible = IsVisibleLocation(newLocation);
    // A message the client deleted in this session is already out of the view's count.
    bool counted = !message->IsDeleted();
    if (!IsViewFrozen() && wasVisible && !isVisible) {
        if (InView(message)) {
            EraseFromView(message);
            if (m_clientCount != -1 && counted) {
                --m_clientCount;
                m_clientSize -= message->GetSize();
            }
        }
    } else if (!IsViewFrozen() && isVisible && !wasVisible) {
        int position = ServerPosition(message);
        if (position > 0 && !InView(message)) {
            // The view is in server order, and new mail is filed in that order: most
            // messages go to its end, which is found without looking at every entry.
            CMessage* last = m_clientView.empty() ? nullptr : m_clientView.back();
            auto before = m_clientView.end();
            if (last != nullptr && last->GetMessageNumber() > position)
                before = std::find_if(m_clientView.begin(), m_clientView.end(),
                                      [&](const CMessage* other) {
                                          return other->GetMessageNumber() > position;
                                      });
            message->AddRef();
            message->SetViewMark(m_viewGeneration);
            m_clientView.insert(before, message);
            if (m_clientCount != -1 && counted) {
                ++m_clientCount;
                m_clientSize += message->GetSize();
            }
        }
    }
    if (message->IsDeleted())
        return;
    switch (oldLocation) {
        case MS_DELETED: Notify(MN_FROM_DELETED, message); break;
        case MS_JAIL: Notify(MN_FROM_JAIL, message); break;
        case MS_HOLD: Notify(MN_FROM_HOLD, message); break;
        case MS_INBOX: Notify(MN_FROM_INBOX, message); break;
        default: break;
    }
    switch (newLocation) {
        case MS_DELETED: Notify(MN_TO_DELETED, message); break;
        case MS_JAIL: Notify(MN_TO_JAIL, message); break;
        case MS_HOLD: Notify(MN_TO_HOLD, message); break;
        case MS_INBOX: Notify(MN_TO_INBOX, message); break;
        default: break;
    }
}

void CMessageStore::ClearView() {
    std::vector<CMessage*> view;
    view.swap(m_clientView);
    if (++m_viewGeneration <= 0)
        m_viewGeneration = 1;  // 0 marks a message in no view
    for (CMessage* message : view)
        CRefCount::DoRelease(message);
}

void CMessageStore::AppendToView(CMessage* message) {
    message->AddRef();
    message->SetViewMark(m_viewGeneration);
    m_clientView.push_back(message);
}

void CMessageStore::EraseFromView(CMessage* message) {
    m_clientView.erase(std::find(m_clientView.begin(), m_clientView.end(), message));
    message->SetViewMark(0);
    CRefCount::DoRelease(message);
}

int CMessageStore::ServerPosition(CMessage* message) {
    int number = message->GetMessageNumber();
    if (number >= 1 && number <= static_cast<int>(m_serverList.size()) &&
        m_serverList[static_cast<size_t>(number) - 1] == message->GetUIDL())
        return number;
    auto found = std::find(m_serverList.begin(), m_serverList.end(), message->GetUIDL());
    return found != m_serverList.end() ? static_cast<int>(found - m_serverList.begin()) + 1 : 0;
}

int CMessageStore::FindInServerList(int after, int* count, std::string* uidl,
                                    const std::function<bool(CMessage*)>& counts) {
    CStoreLock lock(this, false);
    int first = 0;
    int counted = 0;
    for (size_t i = std::max(after, 0); i < m_serverList.size(); ++i) {
        CMessage* message = GetMessage(m_serverList[i]);
        if (message == nullptr || message->IsDeleted() || !counts(message))
            continue;
        ++counted;
        if (first == 0) {
            first = static_cast<int>(i) + 1;
            if (uidl != nullptr)
                *uidl = m_serverList[i];
            if (count == nullptr)
                break;
        }
    }
    if (count != nullptr)
        *count = counted;
    return first;
}

int CMessageStore::FindNext(MSSTATUS location, int after, int* count, std::string* uidl) {
    return FindInServerList(after, count, uidl, [location](CMessage* message) {
        return location == MS_ANY || message->GetLocation() == location;
    });
}

int CMessageStore::FindNextUnsized(int after, int* count, std::string* uidl) {
    return FindInServerList(after, count, uidl,
                            [](CMessage* message) { return message->GetSizeInStore() == 0; });
}

int CMessageStore::FindNextClient(MSSTATUS location, int after, int* count) {
    CStoreLock lock(this, false);
    int first = 0;
    int counted = 0;
    for (size_t i = std::max(after, 0); i < m_clientView.size(); ++i) {
        CMessage* message = m_clientView[i];
        if ((location != MS_ANY && message->GetLocation() != location))
            continue;
        ++counted;
        if (first == 0) {
            first = static_cast<int>(i) + 1;
            if (count == nullptr)
                break;
        }
    }
    if (count != nullptr)
        *count = counted;
    return first;
}

void CMessageStore::PassUnexamined(CMessage* message, MSSTATUS location) {
    if (!m_passAllNotified) {
        m_passAllNotified = 1;
        if (m_database != nullptr)
            m_database->NotifyUI(static_cast<UINT>((m_storeID << 16) | MN_PASSING_ALL), GetName());
    }
    message->AddQLNote("Quillon-Analysis", kSkippedNote);
    message->SetLocation(location);
}

BOOL CMessageStore::SyncMessage(const std::string& uidl, int number) {
    CStoreLock lock(this, false);
    if (number < 1)
        return FALSE;
    CMessage* message = GetMessage(uidl);
    if (message == nullptr) {
        m_dirty = 1;
        message = new CMessage(uidl, this);
        message->AddRef();
        message->Verify();
        m_messages[uidl] = message;
        if (m_newStore && m_passAll)
            PassUnexamined(message);
    } else if (!message->IsVerified()) {
        // Verified is not kept in the file; only a cleared deletion mark changes it.
        if (message->IsDeleted())
            m_dirty = 1;
        message->Verify();
    }
    if (message->GetMessageNumber() != number)
        m_dirty = 1;
    message->SetMessageNumber(number);
    if (m_serverList.size() < static_cast<size_t>(number))
        m_serverList.resize(static_cast<size_t>(number));
    m_serverList[static_cast<size_t>(number) - 1] = uidl;
    return TRUE;
}

BOOL CMessageStore::SetServerStat(int count, int size, int* same) {
    CStoreLock lock(this, false);
    bool unchanged = count == m_serverCount && size == m_serverSize;
    if (!unchanged)
        m_dirty = 1;
    m_serverCount = count;
    m_serverSize = size;
    if (count == 0) {
        // The server holds nothing: neither does the store.
        for (auto& [uidl, message] : m_messages) {
            Notify(MN_SYNCH_REMOVE_MESSAGE, message);
            CRefCount::DoRelease(message);
            m_dirty = 1;
        }
        m_messages.clear();
        m_serverList.clear();
        ClearView();
        m_clientCount = -1;
        unchanged = true;
    }
    if (same != nullptr)
        *same = unchanged ? 1 : 0;
    return TRUE;
}

void CMessageStore::GetServerStat(int* count, int* size) {
    CStoreLock lock(this, false);
    if (count != nullptr)
        *count = m_serverCount;
    if (size != nullptr)
        *size = m_serverSize;
}

BOOL CMessageStore::SetServerSize(int serverNumber, int size) {
    CStoreLock lock(this, false);
    CMessage* message = GetServerMessage(serverNumber);
    if (message == nullptr)
        return FALSE;
    int before = message->GetSize();
    if (message->GetSizeInStore() != size)
        m_dirty = 1;
    message->SetSize(size);
    bool inView = InView(message);
    if (message->IsVisible() && inView && m_clientCount != -1 && !message->IsDeleted())
        m_clientSize += message->GetSize() - before;
    return TRUE;
}

int CMessageStore::GetServerNumber(int clientNumber) {
    CStoreLock lock(this, false);
    CMessage* message = GetClientMessage(clientNumber);
    return message != nullptr ? message->GetMessageNumber() : -1;
}

void CMessageStore::ApplyUidlListing(const std::vector<std::pair<int, std::string>>& listing) {
    CStoreLock lock(this, false);
    BeginUidlListing();
    for (const auto& [number, uidl] : listing) SyncMessage(uidl, number);
    EndUidlListing();
}

void CMessageStore::SynchronizationDone() {
    {
        CStoreLock lock(this, false);
        m_newStore = 0;
    }
    SaveSoon();
}

void CMessageStore::BeginUidlListing() {
    CStoreLock lock(this, false);
    m_serverList.clear();
    ClearView();
    m_clientCount = -1;
    for (auto& [uidl, message] : m_messages)
        message->Unverify();
}

void CMessageStore::EndUidlListing() {
    CStoreLock lock(this, false);
    for (auto it = m_messages.begin(); it != m_messages.end();) {
        CMessage* message = it->second;
        if (message->IsVerified()) {
            ++it;
            continue;
        }
        Notify(MN_SYNCH_REMOVE_MESSAGE, message);
        it = m_messages.erase(it);
        CRefCount::DoRelease(message);
        m_dirty = 1;
    }
    RebuildClientView();
    int count = 0, size = 0;
    for (CMessage* message : m_clientView) {
        if (!message->IsDeleted()) {
            ++count;
            size += message->GetSize();
        }
    }
    m_clientCount = count;
    m_clientSize = size;
    // Saved by the writer thread in a moment, unless another save comes first; a new
    // store stays new.
    SaveSoon();
}

BOOL CMessageStore::AddDownloadedMessage(int number, const std::string& text, int topLines,
                                         const char* holdNote) {
    CStoreLock lock(this, false);
    CMessage* message = GetServerMessage(number);
    if (message == nullptr)
        return FALSE;
    m_dirty = 1;
    Notify(MN_SYNCH_MESSAGE_PROCESSED, message);
    message->SetHeader(text, topLines);
    const bool examine = !(m_newStore && m_passAll) && m_database != nullptr &&
                         m_database->GetExamineMessage() != nullptr;
    MSSTATUS location = MS_INBOX;
    if (examine) {
        location = m_database->ExamineMessage(message);
        // A call-back that answers no place a message can stay in leaves it for review.
        if (location != MS_DELETED && location != MS_JAIL && location != MS_HOLD &&
            location != MS_INBOX)
            location = MS_HOLD;
    }
    // The message moves once, straight to where it stays.
    if (holdNote != nullptr) {
        message->AddQLNote("Quillon-Analysis", holdNote);
        if (IsVisibleLocation(location))
            location = MS_HOLD;
    }
    if (examine)
        message->SetLocation(location);
    else
        PassUnexamined(message, location);
    return TRUE;
}

BOOL CMessageStore::MarkDeletedFromServer(int number, int byServerNumber) {
    CStoreLock lock(this, false);
    CMessage* message = byServerNumber ? GetServerMessage(number) : GetClientMessage(number);
    if (message == nullptr || message->IsDeleted())
        return FALSE;
    Notify(MN_DELETED_FROM_SERVER, message);
    message->SetDeleted(1);
    bool inView = InView(message);
    if (message->IsVisible() && inView && m_clientCount != -1) {
        --m_clientCount;
        m_clientSize -= message->GetSize();
    }
    m_dirty = 1;
    return TRUE;
}

BOOL CMessageStore::UndeleteAll() {
    CStoreLock lock(this, false);
    bool any = false;
    for (CMessage* message : m_clientView) {
        if (!message->IsDeleted())
            continue;
        message->SetDeleted(0);
        if (m_clientCount != -1) {
            ++m_clientCount;
            m_clientSize += message->GetSize();
        }
        any = true;
    }
    if (any) {
        m_dirty = 1;
        Save(0);
    }
    return any ? TRUE : FALSE;
}

BOOL CMessageStore::MarkDelivered(int clientNumber) {
    CStoreLock lock(this, true);
    CMessage* message = GetClientMessage(clientNumber);
    if (message == nullptr)
        return FALSE;
    if (message->GetLocation() != MS_DELIVERED)
        message->SetLocation(MS_DELIVERED);
    return TRUE;
}

BOOL CMessageStore::GetClientViewStat(int* count, int* size) {
    CStoreLock lock(this, false);
    if (m_clientCount == -1) {
        m_clientCount = 0;
        m_clientSize = 0;
        for (CMessage* message : m_clientView) {
            if (!message->IsDeleted()) {
                ++m_clientCount;
                m_clientSize += message->GetSize();
            }
        }
    }
    if (count != nullptr)
        *count = m_clientCount;
    if (size != nullptr)
        *size = m_clientSize;
    return TRUE;
}

BOOL CMessageStore::GetClientStat(const std::string& clientKey, int* count, int* size) {
    CStoreLock lock(this, false);
    for (const auto& [key, stat] : m_clientStats) {
        if (CompareNoCase(key.c_str(), clientKey.c_str()) == 0) {
            if (count != nullptr)
                *count = stat.count;
            if (size != nullptr)
                *size = stat.size;
            return TRUE;
        }
    }
    return FALSE;
}

void CMessageStore::SetClientStat(const std::string& clientKey, int count, int size) {
    CStoreLock lock(this, false);
    for (auto& [key, stat] : m_clientStats) {
        if (CompareNoCase(key.c_str(), clientKey.c_str()) == 0) {
            if (stat.count != count || stat.size != size)
                m_dirty = 1;
            stat = SClientStat{count, size};
            return;
        }
    }
    m_dirty = 1;
    m_clientStats.emplace_back(clientKey, SClientStat{count, size});
    ++m_clientStatCount;
}

SStoreStats CMessageStore::GetStats() {
    CStoreLock lock(this, false);
    SStoreStats stats;
    for (const std::string& uidl : m_serverList) {
        CMessage* message = GetMessage(uidl);
        if (message == nullptr)
            continue;
        const int size = message->GetSizeInStore();
        ++stats.count;
        stats.size += size;
        switch (message->GetLocation()) {
            case MS_INBOX:
                ++stats.inboxCount;
                stats.inboxSize += size;
                break;
            case MS_JAIL:
                ++stats.jailCount;
                stats.jailSize += size;
                break;
            case MS_HOLD:
                ++stats.holdCount;
                stats.holdSize += size;
                break;
            case MS_DELETED:
                ++stats.deletedCount;
                stats.deletedSize += size;
                break;
            default:
                break;
        }
    }
    return stats;
}

BOOL CMessageStore::AddToServerList(CMessage* message, int position) {
    CStoreLock lock(this, false);
    if (position == -1)
        position = static_cast<int>(m_serverList.size()) + 1;
    if (position < 1)
        return FALSE;
    message->SetMessageNumber(position);
    if (m_serverList.size() < static_cast<size_t>(position))
        m_serverList.resize(static_cast<size_t>(position));
    m_serverList[static_cast<size_t>(position) - 1] = message->GetUIDL();
    if (message->IsVisible() && !IsViewFrozen() && !InView(message)) {
        AppendToView(message);
        if (m_clientCount != -1 && !message->IsDeleted()) {
            ++m_clientCount;
            m_clientSize += message->GetSize();
        }
    }
    return TRUE;
}

void CMessageStore::RemoveMessage(CMessage* message) {
    CStoreLock lock(this, true);
    const std::string& uidl = message->GetUIDL();
    if (!IsViewFrozen()) {
        if (InView(message)) {
            EraseFromView(message);
            if (m_clientCount != -1 && !message->IsDeleted()) {
                --m_clientCount;
                m_clientSize -= message->GetSize();
            }
        }
    }
    int number = message->GetMessageNumber();
    auto inList = (number >= 1 && number <= static_cast<int>(m_serverList.size()) &&
                   m_serverList[static_cast<size_t>(number) - 1] == uidl)
                      ? m_serverList.begin() + (number - 1)
                      : std::find(m_serverList.begin(), m_serverList.end(), uidl);
    if (inList == m_serverList.end())
        return;
    size_t index = static_cast<size_t>(inList - m_serverList.begin());
    m_serverList.erase(inList);
    for (size_t i = index; i < m_serverList.size(); ++i) {
        CMessage* later = GetMessage(m_serverList[i]);
        if (later != nullptr && later != message)
            later->SetMessageNumber(static_cast<int>(i) + 1);
    }
}

BOOL CMessageStore::Save(int skipDeleted) {
    CStoreLock lock(this, false);
    if (!CRecordStore::Save(skipDeleted))
        return FALSE;
    m_newStore = 0;
    return TRUE;
}

BOOL CMessageStore::SaveInBackground(int skipDeleted) {
    CStoreLock lock(this, false);
    if (!CRecordStore::SaveInBackground(skipDeleted))
        return FALSE;
    m_newStore = 0;
    return TRUE;
}

void CMessageStore::OnEmptyFile(int passAll) {
    m_newStore = 1;
    m_passAll = passAll;
}

void CMessageStore::OnBadFile() { m_newStore = 1; }

void CMessageStore::OnLoadFailed() { m_clientCount = -1; }

BOOL CMessageStore::WriteHeader(CStoreFile& file) {
    if (!file.WriteInt(m_serverCount) || !file.WriteInt(m_serverSize) ||
        !file.WriteInt(static_cast<int>(m_clientStats.size())))
        return FALSE;
    for (const auto& [key, stat] : m_clientStats)
        if (!file.WriteString(key) || !file.WriteInt(stat.count) || !file.WriteInt(stat.size))
            return FALSE;
    return TRUE;
}

BOOL CMessageStore::ReadHeader(CStoreFile& file) {
    int entries = 0;
    if (!file.ReadInt(&m_serverCount) || !file.ReadInt(&m_serverSize) || !file.ReadInt(&entries) ||
        entries < 0 || entries > file.BytesLeft() / 12)
        return FALSE;
    for (int i = 0; i < entries; ++i) {
        std::string key;
        int count = 0, size = 0;
        if (!file.ReadString(key) || !file.ReadInt(&count) || !file.ReadInt(&size))
            return FALSE;
        SetClientStat(key, count, size);
    }
    m_clientCount = 0;
    m_clientSize = 0;
    return TRUE;
}

void CMessageStore::AfterSave(int skipped) {
    m_newStore = 0;
    if (!skipped)
        return;
    ClearView();
    m_clientCount = -1;
    std::vector<std::string> kept;
    for (const std::string& uidl : m_serverList) {
        auto found = m_messages.find(uidl);
        if (found == m_messages.end()) {
            kept.push_back(uidl);
            continue;
        }
        CMessage* message = found->second;
        if (message->IsDeleted()) {
            m_messages.erase(found);
            CRefCount::DoRelease(message);
            continue;
        }
        kept.push_back(uidl);
        message->SetMessageNumber(static_cast<int>(kept.size()));
        if (message->IsVisible())
            AppendToView(message);
    }
    m_serverList = std::move(kept);
}
