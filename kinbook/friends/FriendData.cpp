#include "kinbook/friends/FriendData.h"

#include "kinbook/friends/EmailDomain.h"
#include "kinbook/friends/ImportSource.h"
#include "kinbook/foundation/TextHelpers.h"

CFriendData::CFriendData(const CFriendData& other) {
    CLock lock(&CFriend::GetLock());
    SetFriend(other.m_friend);
}

CFriendData::CFriendData(void* friendRecord) {
    SetFriend(friendRecord);
}

CFriendData::~CFriendData() {
    SetFriend(nullptr);
}

CFriendData& CFriendData::operator=(const CFriendData& other) {
    CLock lock(&CFriend::GetLock());
    if (other.m_friend != m_friend)
        SetFriend(other.m_friend);
    return *this;
}

CFriendData& CFriendData::operator=(void* friendRecord) {
    CLock lock(&CFriend::GetLock());
    if (friendRecord != m_friend)
        SetFriend(friendRecord);
    return *this;
}

void CFriendData::SetFriend(void* friendRecord) {
    CLock lock(&CFriend::GetLock());
    if (m_friend != nullptr)
        m_friend->Unlink(this);
    m_friend = static_cast<CFriend*>(friendRecord);
    if (m_friend != nullptr && m_friend->IsDeleted())
        m_friend = nullptr;
    if (m_friend != nullptr)
        m_friend->Link(this);
}

void CFriendData::Invalidate(void* friendRecord) {
    CLock lock(&CFriend::GetLock());
    if (m_friend == friendRecord)
        SetFriend(nullptr);
}

void CFriendData::SetPositionHandle(void* array, int index) {
    m_position = std::make_unique<SPositionHandle>(SPositionHandle{array, index});
}

bool CFriendData::IsEmpty() const {
    CLock lock(&CFriend::GetLock());
    return m_friend == nullptr;
}

BOOL CFriendData::Lookup(const char* address) {
    CLock lock(&CFriend::GetLock());
    CFriend* found = CFriend::FindByAddress(address);
    SetFriend(found != nullptr && !found->IsDeleted() ? found : nullptr);
    return m_friend != nullptr;
}

BOOL CFriendData::Create(const char* address, const char* name, ADDRESS_SOURCE type,
                         const char* note) {
    CLock lock(&CFriend::GetLock());
    CFriend* created = CFriend::CreateFriendManually(address, name, type, note);
    SetFriend(created);
    if (created == nullptr)
        return FALSE;
    return CFriend::SaveFriends(0);
}

BOOL CFriendData::Update(int flags, const char* address, const char* name, ADDRESS_SOURCE type,
                         const char* note) {
    CLock lock(&CFriend::GetLock());
    if (m_friend == nullptr)
        return FALSE;
    if ((flags & FRD_MATCH_ADDRESS) &&
        CompareNoCase(m_friend->GetAddress().c_str(), address != nullptr ? address : "") != 0)
        return FALSE;
    if (flags & FRD_SOURCE) {
        auto* source = new CImportSource(CFriend::GetManualImporter(), note != nullptr ? note : "",
                                         type, std::time(nullptr));
        if (!m_friend->AddSource(source, 0))
            delete source;
    }
    if ((flags & FRD_NAME) && name != nullptr)
        m_friend->SetName(name, FRN_USER);
    if ((flags & FRD_NOTE) && note != nullptr)
        m_friend->SetNote(note);
    return CFriend::SaveFriends(0);
}

BOOL CFriendData::Delete() {
    CLock lock(&CFriend::GetLock());
    if (m_friend == nullptr)
        return FALSE;
    CFriend* target = m_friend;
    CFriend::DeleteList(&target, 1);
    return TRUE;
}

std::string CFriendData::GetAddress() const {
    CLock lock(&CFriend::GetLock());
    return m_friend != nullptr ? m_friend->GetAddress() : std::string();
}

std::string CFriendData::GetName() const {
    CLock lock(&CFriend::GetLock());
    return m_friend != nullptr ? m_friend->GetName() : std::string();
}

std::string CFriendData::GetNote() const {
    CLock lock(&CFriend::GetLock());
    return m_friend != nullptr ? m_friend->GetNote() : std::string();
}

std::string CFriendData::GetSourceDesc() const {
    CLock lock(&CFriend::GetLock());
    return m_friend != nullptr ? m_friend->GetSourceDesc() : std::string();
}

std::string CFriendData::GetSourceLocation() const {
    CLock lock(&CFriend::GetLock());
    return m_friend != nullptr ? m_friend->GetSourceLocation() : std::string();
}

std::string CFriendData::GetDateString() const {
    CLock lock(&CFriend::GetLock());
    return m_friend != nullptr ? m_friend->GetDateString() : std::string();
}

std::string CFriendData::GetCountString() const {
    CLock lock(&CFriend::GetLock());
    return m_friend != nullptr ? m_friend->GetCountString() : std::string();
}

int CFriendData::GetCount() const {
    CLock lock(&CFriend::GetLock());
    return m_friend != nullptr ? m_friend->GetCount() : -1;
}

time_t CFriendData::GetDate() const {
    CLock lock(&CFriend::GetLock());
    return m_friend != nullptr ? m_friend->GetDate() : 0;
}

ADDRESS_SOURCE CFriendData::GetSourceQuality() const {
    CLock lock(&CFriend::GetLock());
    return m_friend != nullptr ? m_friend->GetSourceQuality() : AS_UNKNOWN;
}

FRIENDLY CFriendData::GetFriendly() const {
    switch (GetSourceQuality()) {
        case AS_ME:
            return FRIENDLY_ME;
        case AS_MAILING_LIST:
            return FRIENDLY_MAILING_LIST;
        case AS_UNKNOWN:
            return FRIENDLY_NONE;
        default: {
            int type = GetSourceQuality();
            return (type >= AS_ADDRESS_BOOK && type <= AS_CC) || type == AS_MANUAL ? FRIENDLY_FRIEND
                                                                                   : FRIENDLY_NONE;
        }
    }
}

CFriend::POSITION CFriendData::StartFriends() {
    return CFriend::StartFriends();
}

BOOL CFriendData::EnumFriends(CFriend::POSITION& position, CFriendData& handle) {
    CLock lock(&CFriend::GetLock());
    std::string key;
    CFriend* found = nullptr;
    if (!CFriend::EnumFriends(position, key, found, 0))
        return FALSE;
    handle.SetFriend(found);
    return TRUE;
}
