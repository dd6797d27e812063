#include "ferrymail/store/MessageDatabase.h"

#include <openssl/evp.h>

#include <cctype>
#include <ctime>
#include <iterator>

#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/store/MessageStore.h"
#include "kinbook/foundation/CalendarTime.h"
#include "kinbook/foundation/RegistryKey.h"
#include "kinbook/foundation/Sync.h"

namespace {

// The proxy log category of the database's lines.
constexpr unsigned kDatabaseLogCategory = 0x2000;

const char* const kCodeTexts[] = {
    "New state",                               // 0
    "Start synch",                             // 1
    "Synch message list",                      // 2
    "Synch message sizes",                     // 3
    "Synch new message count",                 // 4
    "Synch message processed",                 // 5
    "Finish synch",                            // 6
    "Synch remove message",                    // 7
    "Message->Deleted",                        // 8
    "Message->Jail",                           // 9
    "Message->Hold",                           // 10
    "Message->Inbox",                          // 11
    "Message->Delivered",                      // 12
    "Deleted->",                               // 13
    "Jail->",                                  // 14
    "Hold->",                                  // 15
    "Inbox->",                                 // 16
    "Delivered->",                             // 17
    "Deleted from server",                     // 18
    "New connection",                          // 19
    "End connection",                          // 20
    "Error",                                   // 21
    "New email address for user",              // 22
    "SMTP messages scraped",                   // 23
    "Passing all mail for new message store",  // 24
};

const char* CodeText(MSG_NOTIFICATION code) {
    if (code >= 0 && code < static_cast<int>(std::size(kCodeTexts)))
        return kCodeTexts[code];
    return "New notification added. Please update MessageDatabase.cpp";
}

UINT WordParameter(int storeID, int code) {
    return (static_cast<UINT>(storeID) << 16) | (static_cast<UINT>(code) & 0xFFFF);
}

const char kPasswordKey[] = "SOFTWARE\\Brevant\\Quillon\\Settings";

// Serialises the making and dropping of the instance.
CCritical s_instanceLock;

CCritical s_promptLock;
PasswordPrompt s_passwordPrompt;  // guarded by s_promptLock

}  // namespace



std::atomic<CMessageDatabase*> CMessageDatabase::cm_spTheDatabase{nullptr};

CMessageDatabase::CMessageDatabase() : m_stores(10) {
    m_stores.InitHashTable(10);
    CMessage::SetOwnerLookup(&CMessageDatabase::LookupOwner);
}

CMessageDatabase::~CMessageDatabase() {
    // Readers of the table see no store from here on.
    m_storeTableSize.store(0);
    for (std::atomic<SStoreChunk*>& entry : m_storeTable) {
        SStoreChunk* chunk = entry.exchange(nullptr);
        delete chunk;
    }
    CMapStringToPtrI::POSITION position = m_stores.GetStartPosition();
    while (position != nullptr) {
        std::string key;
        void* value = nullptr;
        m_stores.GetNextAssoc(position, key, value);
        CRefCount::DoRelease(static_cast<CMessageStore*>(value));
    }
    m_stores.RemoveAll();
}

CMessageDatabase* CMessageDatabase::GetMessageDatabase(ExamineFunction examine,
                                                       INotificationSink* sink, UINT message) {
    CMessageDatabase* database = nullptr;
    {
        CLock guard(&s_instanceLock);
        database = cm_spTheDatabase.load();
        if (database == nullptr) {
            database = new CMessageDatabase();
            database->AddRef();
            cm_spTheDatabase.store(database);
        }
    }
    if (sink != nullptr)
        database->AddNotification(sink, message);
    if (examine != nullptr)
        database->SetExamineFunction(examine);
    return database;
}

void CMessageDatabase::Shutdown() {
    CMessageDatabase* database = nullptr;
    {
        CLock guard(&s_instanceLock);
        database = cm_spTheDatabase.exchange(nullptr);
    }
    CRefCount::DoRelease(database);
}

IMessageOwner* CMessageDatabase::LookupOwner(int storeID) {
    CMessageDatabase* database = cm_spTheDatabase.load();
    if (database == nullptr)
        return nullptr;
    CMessageStore* store = database->GetStore(storeID);
    return store;
}

int CMessageDatabase::EnumAccount(CAccountData* account, void* database) {
    CMessageStore* store = static_cast<CMessageDatabase*>(database)->FindStore(
        account->m_serverName, account->m_userName, 0, account->m_leaveMailOnServer ? 1 : 0);
    return store != nullptr ? 0 : 1;
}

void CMessageDatabase::Initialize() {
    CLock lock(&m_storesLock);
    LoadAccountTable(FALSE);
    EnumAccountData(&CMessageDatabase::EnumAccount, this);
}

CMessageStore* CMessageDatabase::FindStore(const std::string& server, const std::string& user,
                                           int acquire, int passAll) {
    // A user name "name/host" names its server itself and is the whole key.
    std::string serverName = server;
    std::string userName = user;
    std::string key;
    size_t slash = user.find('/', 1);
    if (slash != std::string::npos) {
        key = user;
        serverName = user.substr(slash + 1);
        userName = user.substr(0, slash);
    } else {
        key = user + "/" + server;
    }

    CLock lock(&m_storesLock);
    void* value = nullptr;
    if (m_stores.Lookup(key.c_str(), value)) {
        CMessageStore* store = static_cast<CMessageStore*>(value);
        return store->BeginSession(acquire) ? store : nullptr;
    }

    // Identifiers must fit the 16 bits a notification has for them.
    if (m_lastStoreID >= kMaximumStoreID)
        return nullptr;
    int storeID = ++m_lastStoreID;
    CMessageStore* store = new CMessageStore();
    store->AddRef();
    if (!store->Open(this, storeID, serverName, userName, passAll)) {
        CRefCount::DoRelease(store);
        return nullptr;
    }
    m_stores.SetAt(key.c_str(), store);
    EnterStore(storeID, store);
    return store->BeginSession(acquire) ? store : nullptr;
}

void CMessageDatabase::EnterStore(int storeID, CMessageStore* store) {
    std::atomic<SStoreChunk*>& entry = m_storeTable[storeID / kStoreChunkSize];
    SStoreChunk* chunk = entry.load(std::memory_order_relaxed);
    if (chunk == nullptr) {
        chunk = new SStoreChunk();
        entry.store(chunk, std::memory_order_release);
    }
    chunk->stores[storeID % kStoreChunkSize].store(store, std::memory_order_release);
    if (storeID + 1 > m_storeTableSize.load(std::memory_order_relaxed))
        m_storeTableSize.store(storeID + 1, std::memory_order_release);
}

CMessageStore* CMessageDatabase::GetStore(const std::string& key) {
    Initialize();
    CLock lock(&m_storesLock);
    void* value = nullptr;
    if (!m_stores.Lookup(key.c_str(), value))
        return nullptr;
    return static_cast<CMessageStore*>(value);
}

CMessageStore* CMessageDatabase::GetStore(int storeID) {
    if (storeID <= 0 || storeID > kMaximumStoreID)
        return nullptr;
    SStoreChunk* chunk = m_storeTable[storeID / kStoreChunkSize].load(std::memory_order_acquire);
    if (chunk == nullptr)
        return nullptr;
    return chunk->stores[storeID % kStoreChunkSize].load(std::memory_order_acquire);
}

int CMessageDatabase::GetStoreCount() {
    Initialize();
    return m_storeTableSize.load(std::memory_order_acquire);
}

int CMessageDatabase::GetContents(std::vector<SMessageHandle>& handles, MSSTATUS location) {
    handles.clear();
    Initialize();
    CLock lock(&m_storesLock);
    int tableSize = m_storeTableSize.load(std::memory_order_relaxed);
    for (int storeID = 1; storeID < tableSize; ++storeID) {
        CMessageStore* store = GetStore(storeID);
        if (store == nullptr)
            continue;
        std::string uidl;
        for (int number = store->FindNext(location, 0, nullptr, &uidl); number > 0;
             number = store->FindNext(location, number, nullptr, &uidl))
            handles.push_back(SMessageHandle{storeID, uidl});
    }
    return static_cast<int>(handles.size());
}

CMessage* CMessageDatabase::GetMessage(int storeID, const std::string* uidl) {
    if (uidl == nullptr)
        return nullptr;
    CMessageStore* store = GetStore(storeID);
    return store != nullptr ? store->GetMessage(*uidl) : nullptr;
}

CMessage* CMessageDatabase::GetMessage(const SMessageHandle& handle) {
    return GetMessage(handle.m_storeID, &handle.m_uidl);
}

SStoreStats CMessageDatabase::GetStoreStats() {
    SStoreStats total;
    Initialize();
    CLock lock(&m_storesLock);
    int tableSize = m_storeTableSize.load(std::memory_order_relaxed);
    for (int storeID = 1; storeID < tableSize; ++storeID) {
        CMessageStore* store = GetStore(storeID);
        if (store != nullptr)
            total.Add(store->GetStats());
    }
    return total;
}

void CMessageDatabase::SetExamineFunction(ExamineFunction examine) { m_examine.store(examine); }

ExamineFunction CMessageDatabase::GetExamineMessage() { return m_examine.load(); }

MSSTATUS CMessageDatabase::ExamineMessage(CMessage* message) {
    CLock lock(&m_examineLock);
    ExamineFunction examine = m_examine.load();
    if (examine == nullptr || message == nullptr)
        return MS_INBOX;
    return examine(message);
}

void CMessageDatabase::RegisterLogger(IDatabaseLogger* logger) {
    CLock lock(&m_loggerLock);
    m_logger = logger;
}

int CMessageDatabase::AddNotification(INotificationSink* sink, UINT message) {
    if (sink == nullptr)
        return 0;
    CLock lock(&m_sinksLock);
    for (auto entry = m_sinks.begin(); entry != m_sinks.end(); ++entry) {
        if (entry->sink != sink)
            continue;
        if (entry->message == message)
            return 0;
        if (message == 0)
            m_sinks.erase(entry);
        else
            entry->message = message;
        return 1;
    }
    if (message == 0)
        return 0;
    m_sinks.push_back(SSink{sink, message});
    return 1;
}

void CMessageDatabase::Post(UINT wParam, long data, CRefCount* object) {
    CLock lock(&m_sinksLock);
    // A copy: a sink may change the registrations from inside Post.
    std::vector<SSink> sinks = m_sinks;
    for (const SSink& entry : sinks) {
        if (object != nullptr)
            object->AddRef();
        entry.sink->Post(entry.message, wParam, data, object);
    }
}

void CMessageDatabase::NotifyUI(MSG_NOTIFICATION code, CMessageStore* store) {
    int storeID = store != nullptr ? store->GetStoreID() : 0;
    NotifyLog(code, storeID, nullptr, static_cast<const std::string*>(nullptr));
    Post(WordParameter(storeID, code), 0, nullptr);
}

void CMessageDatabase::NotifyUI(MSG_NOTIFICATION code, CMessageStore* store, int data) {
    int storeID = store != nullptr ? store->GetStoreID() : 0;
    NotifyLog(code, storeID, nullptr, data);
    Post(WordParameter(storeID, code), data, nullptr);
}

void CMessageDatabase::NotifyUI(MSG_NOTIFICATION code, CMessage* message) {
    int storeID = message != nullptr ? message->GetStoreID() : 0;
    NotifyLog(code, storeID, message, static_cast<const std::string*>(nullptr));
    // The database's own reference: without a sink the payload goes at once.
    CRefString* payload = message != nullptr ? new CRefString(message->GetUIDL()) : nullptr;
    if (payload != nullptr)
        payload->AddRef();
    Post(WordParameter(storeID, code), 0, payload);
    CRefCount::DoRelease(payload);
}

void CMessageDatabase::NotifyUI(UINT wParam, long data) { Post(wParam, data, nullptr); }

void CMessageDatabase::NotifyUI(UINT wParam, CRefCount* object) { Post(wParam, 0, object); }

void CMessageDatabase::NotifyUI(UINT wParam, const std::string& text) {
    NotifyLog(static_cast<MSG_NOTIFICATION>(wParam & 0xFFFF), static_cast<int>(wParam >> 16),
              nullptr, &text);
    CRefString* payload = new CRefString(text);
    payload->AddRef();
    Post(wParam, 0, payload);
    CRefCount::DoRelease(payload);
}

void CMessageDatabase::NotifyLog(MSG_NOTIFICATION code, int storeID, CMessage* message,
                                 int data) {
    std::string text;
    if (code == MN_NEW_CONNECTION) {
        const char* protocol = data == 0   ? "POP3"
                               : data == 1 ? "SMTP"
                               : data == 2 ? "AOL"
                                           : "unknown";
        text = std::string("Protocol: ") + protocol;
    } else {
        text = "Data: " + std::to_string(data);
    }
    NotifyLog(code, storeID, message, &text);
}

std::string CMessageDatabase::StoreName(int storeID) {
    CMessageStore* store = GetStore(storeID);
    return store != nullptr ? store->GetName() : std::string();
}

void CMessageDatabase::NotifyLog(MSG_NOTIFICATION code, int storeID, CMessage* message,
                                 const std::string* text) {
    CLock lock(&m_loggerLock);
    if (m_logger == nullptr || !m_logger->WantsDatabaseLine(kDatabaseLogCategory))
        return;

    std::string line = CodeText(code);
    if (storeID == 0 && message != nullptr)
        storeID = message->GetStoreID();
    if (message != nullptr) {
        std::string detail;
        const SAddress* from = message->GetFrom();
        if (!from->m_address.empty())
            detail += "From: " + from->m_address + "; ";
        if (long downloaded = message->GetDownloadedDate(); downloaded != 0) {
            tm local {};
            char stamp[64] = "";
            if (ToLocalTime(static_cast<time_t>(downloaded), local))
                strftime(stamp, sizeof stamp, "%m/%d/%y %H:%M:%S", &local);
            detail += std::string("Downloaded: ") + stamp + "; ";
        }
        std::string subject = message->GetSubject();
        if (!subject.empty())
            detail += "'" + subject + "'";
        line += " on " + StoreName(storeID) + "; msg " + message->GetUIDL() + " [" + detail + "]";
        if (text != nullptr)
            line += " (" + *text + ")";
    } else if (storeID != 0) {
        line += " on " + StoreName(storeID);
        if (text != nullptr)
            line += " (" + *text + ")";
    } else if (text != nullptr) {
        line += ": " + *text;
    }
    m_logger->LogDatabaseLine(kDatabaseLogCategory, line);
}

// The password.

void CMessageDatabase::HashPassword(std::string& digest, const std::string& password) {
    digest.clear();
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(password.data(), password.size(), bytes, &length, EVP_sha1(), nullptr))
        return;
    static const char kHexDigits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
        digest += kHexDigits[bytes[i] >> 4];
        digest += kHexDigits[bytes[i] & 0xF];
    }
}

int CMessageDatabase::MatchPassword(const std::string& storedDigest, const std::string& password) {
    std::string digest;
    HashPassword(digest, password);
    if (digest.empty() || digest.size() != storedDigest.size())
        return 0;
    for (size_t i = 0; i < digest.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(digest[i])) !=
            std::tolower(static_cast<unsigned char>(storedDigest[i])))
            return 0;
    return 1;
}

int CMessageDatabase::GetPassword(std::string& digest, int& always) {
    digest.clear();
    always = 0;
    CRegistryKey key;
    if (!key.Open(HKEY_CURRENT_USER, kPasswordKey, KEY_READ))
        return 0;
    if (!key.QueryValue("sha", digest))
        return 0;
    int value = 0;
    key.QueryValue("shaalways", value, TRUE);
    always = value != 0 ? 1 : 0;
    return 1;
}

int CMessageDatabase::SetPassword(const std::string& password, int always) {
    CRegistryKey key;
    if (!key.Create(HKEY_CURRENT_USER, kPasswordKey, KEY_ALL_ACCESS))
        return 0;
    if (password.empty()) {
        // No password is what the caller wants; a value already missing is that too.
        return key.DeleteValue("sha") || key.GetLastResult() == ERROR_FILE_NOT_FOUND ? 1 : 0;
    }
    std::string digest;
    HashPassword(digest, password);
    if (digest.empty())
        return 0;
    if (!key.SetValue("sha", digest.c_str()))
        return 0;
    return key.SetValue("shaalways", always) ? 1 : 0;
}

int CMessageDatabase::CheckPassword(int force) {
    std::string digest;
    int always = 0;
    if (!GetPassword(digest, always))
        return 1;
    if (m_passwordGiven && !force && !always)
        return 1;
    PasswordPrompt prompt;
    {
        CLock guard(&s_promptLock);
        prompt = s_passwordPrompt;
    }
    if (!prompt || prompt(digest) != 1)
        return 0;
    m_passwordGiven = 1;
    return 1;
}

void CMessageDatabase::SetPasswordPrompt(PasswordPrompt prompt) {
    CLock guard(&s_promptLock);
    s_passwordPrompt = std::move(prompt);
}
