#include "kinbook/friends/Friend.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "friends/FListFile.h"
#include "friends/FriendsFiles.h"
#include "friends/FriendsState.h"
#include "kinbook/mailtext/AddressHandler.h"
#include "kinbook/friends/EmailDomain.h"
#include "kinbook/foundation/FoundationLog.h"
#include "kinbook/foundation/LockFile.h"
#include "kinbook/friends/FriendData.h"
#include "kinbook/friends/ImportSource.h"
#include "kinbook/friends/Importer.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/StringTable.h"
#include "kinbook/mailtext/TextMessage.h"

struct CFriend::SPosition {
    std::vector<std::string> addresses;
    size_t next = 0;
};

namespace {

constexpr const char* kBlanks = " \t\r\n";

int Rank(const CImportSource* source) {
    return CAddressHandler::SortOrder(source->GetType());
}

}  // namespace

CCritical& CFriend::GetLock() {
    static CCritical* lock = new CCritical;  // never destroyed: used until the process ends
    return *lock;
}

CFriend::CFriend(const std::string& address) : m_address(address), m_name(address) {}

CFriend::~CFriend() {
    InvalidateHandles();
    if (m_domain != nullptr)
        m_domain->ForgetFriend(this);
    for (CImportSource* source : m_sources) delete source;
}

CFriend* CFriend::Lookup(std::string_view address) {
    return FriendsState().index.Find(address);
}

void CFriend::MarkChanged() {
    m_unsynced = true;
}

void CFriend::InvalidateHandles() {
    std::vector<CFriendData*> handles;
    handles.swap(m_handles);
    for (CFriendData* handle : handles) handle->m_friend = nullptr;
}

void CFriend::Link(CFriendData* handle) {
    m_handles.push_back(handle);
}

void CFriend::Unlink(CFriendData* handle) {
    auto found = std::find(m_handles.begin(), m_handles.end(), handle);
    if (found != m_handles.end()) {
        *found = m_handles.back();
        m_handles.pop_back();
    }
}

void CFriend::NotifyList() {
    if (m_listUpdate != nullptr)
        m_listUpdate(m_listControl, this);
}

void CFriend::ShowInList(void* control, EntityUpdateCallback update) {
    m_listControl = control;
    m_listUpdate = update;
}

BOOL CFriend::ValidateAddress(std::string& address) {
    size_t first = address.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        address.clear();
        return FALSE;
    }
    address = address.substr(first, address.find_last_not_of(kBlanks) - first + 1);
    if (address.find_first_of(kBlanks) != std::string::npos)
        return FALSE;
    return std::count(address.begin(), address.end(), '@') == 1;
}

CFriend* CFriend::AddFriend(const char* address, CImportSource* source, const char* name,
                            FR_NAME quality) {
    CLock lock(&GetLock());
    std::string key = address != nullptr ? address : "";
    if (!ValidateAddress(key))
        return nullptr;
    SFriendsState& state = FriendsState();
    CFriend* added = Lookup(key);
    if (added != nullptr) {
        // Never two records for one address: the source joins the one there is.
        if (!added->AddSource(source, 0))
            delete source;
    } else {
        added = new CFriend(key);
        added->AddSource(source, 0);
        added->m_state = ES_ACCEPTED;
        ++state.cm_iDirtyCount;
        state.cm_mpFriends.emplace(key, added);
        state.index.Insert(added);
        added->m_bulkAddLevel = state.cm_iBulkAdd;
    }
    added->MarkChanged();
    if (name != nullptr && *name != '\0')
        added->SetName(name, quality);
    if (state.cm_pDialog != nullptr && state.cm_iBulkAdd == 0)
        state.cm_pDialog->FriendAdded(added);
    return added;
}

CFriend* CFriend::CreateFriendManually(const char* address, const char* name, ADDRESS_SOURCE type,
                                       const char* note) {
    CLock lock(&GetLock());
    std::string key = address != nullptr ? address : "";
    if (!ValidateAddress(key))
        return nullptr;
    CFriend* existing = FindByAddress(key.c_str());
    if (existing != nullptr && existing->IsDeleted()) {
        RemoveFromStore(existing);
        existing = nullptr;
    }
    auto* source = new CImportSource(GetManualImporter(), note != nullptr ? note : "", type,
                                     std::time(nullptr));
    CFriend* result = existing;
    if (existing != nullptr) {
        existing->AddSource(source, 1);
        if (name != nullptr && *name != '\0')
            existing->SetName(name, FRN_USER);
    } else {
        result = AddFriend(key.c_str(), source, name, FRN_USER);
        if (result == nullptr) {
            delete source;
            return nullptr;
        }
    }
    result->SetNote(note != nullptr ? note : "");
    result->m_saved = FALSE;
    result->MarkChanged();
    return result;
}

// Both files loaded, and at most one look at the disk per interval. The lock is held.
void CFriend::EnsureLoaded() {
    SFriendsState& state = FriendsState();
    if (!state.cm_sLastFileLoaded.empty() && !state.cm_sLastCompaniesLoaded.empty() &&
        std::chrono::steady_clock::now() - state.friendsChecked < CFriendsFiles::kCheckInterval)
        return;
    LoadFriends(0, 0);
    CEmailDomain::LoadCompanies();
}

CFriend* CFriend::FindByAddress(const char* address) {
    CLock lock(&GetLock());
    EnsureLoaded();
    return Lookup(address != nullptr ? address : "");
}

CEmailEntity* CFriend::IsAddressFriend(const char* address) {
    CLock lock(&GetLock());
    return FindFriendly(address);
}

FRIENDLY CFriend::AddressFriendly(const char* address) {
    CLock lock(&GetLock());
    return FriendlyOf(FindFriendly(address));
}

CEmailEntity* CFriend::FindFriendly(const char* address) {
    EnsureLoaded();
    std::string_view text = address != nullptr ? address : "";
    CFriend* found = Lookup(text);
    if (found != nullptr && !found->IsDeleted() && found->IsAccepted()) {
        found->BumpHitCount();
        return found;
    }
    if (text.find('@') == std::string_view::npos)
        return nullptr;
    // From the end towards the start: each dot names a parent domain by its whole name,
    // the "@" the address's own domain.
    CEmailDomain* node = FriendsState().cm_pRoot;
    if (node == nullptr)
        return nullptr;
    for (size_t i = text.size(); i-- > 0;) {
        if (text[i] != '.' && text[i] != '@')
            continue;
        CEmailDomain* child = node->FindChild(text.substr(i + 1));
        if (child == nullptr)
            return nullptr;
        bool matches = text[i] == '@' || child->IncludeChildren();
        if (matches && child->IsAccepted()) {
            child->BumpHitCount();
            return child;
        }
        if (text[i] == '@')
            return nullptr;
        node = child;
    }
    return nullptr;
}

FRIENDLY CFriend::FriendlyOf(const CEmailEntity* entity) {
    if (entity == nullptr)
        return FRIENDLY_NONE;
    if (entity->IsDomain())
        return FRIENDLY_COMPANY;
    switch (static_cast<const CFriend*>(entity)->GetSourceQuality()) {
        case AS_ME:
            return FRIENDLY_ME;
        case AS_MAILING_LIST:
            return FRIENDLY_MAILING_LIST;
        default:
            return FRIENDLY_FRIEND;
    }
}

CFriend::POSITION CFriend::StartFriends() {
    CLock lock(&GetLock());
    EnsureLoaded();
    FriendMap& friends = FriendsState().cm_mpFriends;
    if (friends.empty())
        return nullptr;
    auto position = std::make_shared<SPosition>();
    position->addresses.reserve(friends.size());
    for (const auto& entry : friends) position->addresses.push_back(entry.first);
    return position;
}

BOOL CFriend::EnumFriends(POSITION& position, std::string& key, CFriend*& found,
                          int includeDeleted) {
    CLock lock(&GetLock());
    while (position != nullptr && position->next < position->addresses.size()) {
        const std::string& address = position->addresses[position->next++];
        CFriend* candidate = Lookup(address);
        if (candidate != nullptr && (includeDeleted || !candidate->IsDeleted())) {
            key = candidate->m_address;
            found = candidate;
            return TRUE;
        }
    }
    position.reset();
    found = nullptr;
    return FALSE;
}

int CFriend::StartBulkAdd() {
    CLock lock(&GetLock());
    return FriendsState().cm_iBulkAdd++;
}

int CFriend::EndBulkAdd() {
    CLock lock(&GetLock());
    SFriendsState& state = FriendsState();
    if (state.cm_iBulkAdd == 0)
        return 0;
    for (auto& [address, entry] : state.cm_mpFriends) {
        if (entry->m_bulkAddLevel >= state.cm_iBulkAdd) {
            if (state.cm_pDialog != nullptr)
                state.cm_pDialog->FriendAdded(entry);
            entry->m_bulkAddLevel = 0;
        }
    }
    return state.cm_iBulkAdd--;
}

void CFriend::DeleteList(CFriend** list, int count) {
    CLock lock(&GetLock());
    for (int i = 0; i < count; ++i) {
        list[i]->SetState(ES_DELETED);  // empties the handles
        list[i]->NotifyList();
    }
}

void CFriend::RemoveFromStore(CFriend* target) {
    FriendMap& friends = FriendsState().cm_mpFriends;
    auto found = friends.find(target->m_address);
    if (found != friends.end() && found->second == target) {
        friends.erase(found);
        FriendsState().index.Erase(target);
    }
    target->NotifyList();
    ++FriendsState().cm_iDirtyCount;
    delete target;  // leaves its domain and empties its handles
}

void CFriend::RemoveList(CFriend** list, int count) {
    CLock lock(&GetLock());
    for (int i = 0; i < count; ++i) RemoveFromStore(list[i]);
}

void CFriend::ClearScrapeHits() {
    CLock lock(&GetLock());
    for (auto& [address, entry] : FriendsState().cm_mpFriends) {
        entry->m_scrapeHit = false;
        entry->m_isNew = false;
    }
}

void CFriend::Shutdown() {
    CLock lock(&GetLock());
    FriendMap friends;
    friends.swap(FriendsState().cm_mpFriends);
    FriendsState().index.Clear();
    for (auto& [address, entry] : friends) delete entry;
}

BOOL CFriend::FriendsListDirty() {
    CLock lock(&GetLock());
    return FriendsState().cm_iDirtyCount > 0;
}

int CFriend::GetDirtyCount() {
    CLock lock(&GetLock());
    return FriendsState().cm_iDirtyCount;
}

void CFriend::SetDialog(IDialog* dialog) {
    CLock lock(&GetLock());
    FriendsState().cm_pDialog = dialog;
}

CImporter* CFriend::GetManualImporter() {
    CLock lock(&GetLock());
    SFriendsState& state = FriendsState();
    if (state.cm_pManualImporter == nullptr) {
        std::string description;
        LoadLocalString(nullptr, 17, description);
        state.cm_pManualImporter = new CImporter(description);
    }
    return state.cm_pManualImporter;
}

BOOL CFriend::GetFriendsList(ADDRESS_SOURCE type, std::vector<CFriendData>** out) {
    CLock lock(&GetLock());
    EnsureLoaded();
    auto* list = new std::vector<CFriendData>;
    for (auto& [address, entry] : FriendsState().cm_mpFriends)
        if (!entry->IsDeleted() && entry->m_bestSource != nullptr &&
            entry->m_bestSource->GetType() == type)
            list->emplace_back(entry);
    for (size_t i = 0; i < list->size(); ++i)
        (*list)[i].SetPositionHandle(list, static_cast<int>(i));
    *out = list;
    return TRUE;
}

void CFriend::SetState(int state, int quiet) {
    CLock lock(&GetLock());
    if (state == m_state)
        return;
    bool acceptedChanged = ((m_state & ES_ACCEPTED_MASK) != 0) != ((state & ES_ACCEPTED_MASK) != 0);
    bool deletedChanged = ((m_state ^ state) & ES_DELETED) != 0;
    if (!quiet && (acceptedChanged || deletedChanged)) {
        ++FriendsState().cm_iDirtyCount;
        MarkChanged();
    }
    m_state = state;
    if (IsDeleted())
        InvalidateHandles();
    NotifyTree();
    NotifyList();
}

BOOL CFriend::AddSource(CImportSource* source, int replace) {
    if (source == nullptr)
        return FALSE;
    CLock lock(&GetLock());
    if (source->GetType() == AS_ADDRESS_BOOK)
        ++m_addressBookCount;
    else
        BumpHitCount();
    bool hadBest = m_bestSource != nullptr;
    auto same = std::find_if(m_sources.begin(), m_sources.end(),
                             [source](const CImportSource* s) { return *s == *source; });
    if (same != m_sources.end()) {
        if (!replace)
            return FALSE;
        if (*same == m_bestSource)
            m_bestSource = nullptr;
        delete *same;
        *same = source;
    } else {
        m_sources.push_back(source);
    }
    if (m_bestSource == nullptr || replace || Rank(source) < Rank(m_bestSource)) {
        if (hadBest) {
            ++FriendsState().cm_iDirtyCount;
            m_saved = FALSE;
        }
        m_bestSource = source;
        m_bestType = source->GetType();
        m_date = source->GetDate();
        if (!m_noteExplicit) {
            std::string location = source->GetSourceLocation();
            m_note = location.empty() ? location : "in " + location;
        }
        MarkChanged();
    }
    if (m_listUpdate != nullptr &&
        (m_bestSource->GetType() == AS_ME || m_bestSource->GetType() == AS_MAILING_LIST))
        NotifyList();
    return TRUE;
}

CImportSource* CFriend::GetSource(int index) const {
    if (index < 0 || index >= GetSourceCount())
        return nullptr;
    return m_sources[static_cast<size_t>(index)];
}

ADDRESS_SOURCE CFriend::GetSourceQuality() const {
    return m_bestType;
}

void CFriend::SetSourceQuality(ADDRESS_SOURCE type) {
    if (m_bestSource != nullptr) {
        m_bestSource->SetType(type);
        m_bestType = type;
    }
}

std::string CFriend::GetSourceDesc(int oneLine) const {
    std::string text = m_bestSource != nullptr ? m_bestSource->GetSourceDesc() : "";
    if (!m_note.empty())
        text += ": " + m_note;
    if (oneLine)
        std::replace_if(
            text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

std::string CFriend::GetSourceLocation() const {
    return m_bestSource != nullptr ? m_bestSource->GetSourceLocation() : std::string();
}

std::string CFriend::GetSources() const {
    std::string text;
    for (const CImportSource* source : m_sources) {
        if (source->GetImporter() == nullptr)
            continue;
        if (!text.empty())
            text += "; ";
        text += source->GetImporter()->GetRoot()->GetDescription();
    }
    return text;
}

BOOL CFriend::SetName(const char* name, FR_NAME quality) {
    if (name == nullptr)
        return FALSE;
    CLock lock(&GetLock());
    std::string text = name;
    if (text.size() >= 3 && text.front() == '\'' && text.back() == '\'')
        text = text.substr(1, text.size() - 2);
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return FALSE;
    text.erase(0, first);
    text.erase(text.find_last_not_of(kBlanks) + 1);
    // Names from headers and address books may carry header escapes and comments; a name
    // the user typed is kept as typed.
    if (quality != FRN_USER) {
        std::string decoded;
        CTextMessage::FillString(decoded, text.data(), static_cast<int>(text.size()));
        text = decoded;
        if (text.empty())
            return FALSE;
    }
    bool counted = m_saved && text != m_name;
    if (m_name.find('@') == std::string::npos && text.find('@') != std::string::npos)
        return FALSE;
    if (quality > m_nameQuality || quality == FRN_USER) {
        m_name = text;
        m_nameQuality = quality;
    } else if (quality < m_nameQuality || text.size() <= m_name.size()) {
        return FALSE;
    } else {
        m_name = text;
        m_saved = FALSE;
    }
    MarkChanged();
    if (counted)
        ++FriendsState().cm_iDirtyCount;
    return TRUE;
}

void CFriend::SetNote(const std::string& note) {
    CLock lock(&GetLock());
    CEmailEntity::SetNote(note);
    MarkChanged();
}

BOOL CFriend::IsImplicit() const {
    return (m_state & ES_IMPLICIT) != 0 && GetSourceQuality() != AS_ME;
}

int CFriend::GetStateIndex() const {
    return IsImplicit() ? 3 : IsAccepted() ? 2 : 1;
}

void CFriend::CheckCompany() {
    CLock lock(&GetLock());
    if (m_domain != nullptr && !m_domain->IsAccepted())
        m_domain->RecursiveSetState(ES_ACCEPTED);
}

void CFriend::UpdateDisplay() {
    CLock lock(&GetLock());
    if (FriendsState().cm_pDialog != nullptr)
        FriendsState().cm_pDialog->FriendChanged(this);
}

// ---- "friends.csv" ----

struct CFriend::SRecord {
    std::string address;
    int state = 0;
    std::string name;
    int source = AS_UNKNOWN;
    std::string note;
    int date = 0;
    int count = 0;
    int addressBookCount = 0;
};

BOOL CFriend::ParseRecord(const char* line, int length, SRecord& record) {
    const char* p = line;
    int left = length;
    if (!ParseQuotedString(p, left, record.address) || !ParseQuotedInt(p, left, record.state) ||
        !ParseQuotedString(p, left, record.name) || !ParseQuotedInt(p, left, record.source) ||
        !ParseQuotedString(p, left, record.note) || !ParseQuotedInt(p, left, record.date) ||
        !ParseQuotedInt(p, left, record.count) || !ParseQuotedInt(p, left, record.addressBookCount))
        return FALSE;
    return ValidateAddress(record.address);
}

// A record of this process's file load, a second line for an address, or a record of a
// file another process wrote (`fromOutside`): then a record changed here and not yet
// saved keeps its own fields, and counts and dates keep the larger value.
void CFriend::ApplyRecord(const SRecord& record, bool fromOutside, int* existed) {
    CFriend* target = Lookup(record.address);
    const auto type = static_cast<ADDRESS_SOURCE>(record.source);
    const time_t date = static_cast<time_t>(record.date);
    if (existed != nullptr)
        *existed = target != nullptr;
    if (target != nullptr && fromOutside) {
        target->m_hitCount = std::max(target->m_hitCount, record.count);
        target->m_addressBookCount = std::max(target->m_addressBookCount, record.addressBookCount);
        target->m_date = std::max(target->m_date, date);
        if (target->m_unsynced)
            return;
        target->SetState(record.state, 1);
        target->m_name = record.name.empty() ? record.address : record.name;
        int hits = target->m_hitCount, books = target->m_addressBookCount;
        time_t last = target->m_date;
        int dirty = FriendsState().cm_iDirtyCount;
        target->AddSource(new CImportSource(nullptr, CImportSource::kFileDescription, type, date),
                          1);
        target->m_hitCount = hits;
        target->m_addressBookCount = books;
        target->m_date = last;
        FriendsState().cm_iDirtyCount = dirty;
    } else {
        bool isNew = target == nullptr;
        if (isNew) {
            target = new CFriend(record.address);
            FriendsState().cm_mpFriends.emplace(record.address, target);
            FriendsState().index.Insert(target);
        }
        target->SetState(record.state, 1);
        if (isNew && !record.name.empty())
            target->m_name = record.name;
        else if (!isNew && record.name.size() > target->m_name.size())
            target->m_name = record.name;
        target->m_bulkAddLevel = std::max(target->m_bulkAddLevel, FriendsState().cm_iBulkAdd);
        auto* source = new CImportSource(nullptr, CImportSource::kFileDescription, type, date);
        if (!target->AddSource(source, 0))
            delete source;
        target->m_hitCount = record.count;
        target->m_addressBookCount = record.addressBookCount;
        target->m_date = date;
    }
    target->m_note = record.note;
    target->m_noteExplicit = true;
    target->m_saved = TRUE;
    target->m_unsynced = false;
    target->m_isNew = false;
}

BOOL CFriend::Read(const char* line, int length, int& existed) {
    CLock lock(&GetLock());
    SRecord record;
    if (!ParseRecord(line, length, record))
        return FALSE;
    ApplyRecord(record, false, &existed);
    return TRUE;
}

// A line that does not read is logged and skipped; the lines after it still load.
void CFriend::ParseFriendsFile(const std::string& path, const std::string& contents,
                               bool fromOutside) {
    CFriendsFiles::ForEachLine(contents, [&](const char* line, int length, int number) {
        if (length == 0 || line[0] == '#')
            return;
        SRecord record;
        if (!ParseRecord(line, length, record)) {
            FoundationLog("%s line %d does not read; skipped", path.c_str(), number);
            return;
        }
        ApplyRecord(record, fromOutside, nullptr);
    });
}

void CFriend::MergeReFile() {
    std::string contents;
    if (!ReadWholeFile(CFriendsFiles::PathOf("friends.re"), contents))
        return;
    SFriendsState& state = FriendsState();
    state.merging = true;
    CFriendsFiles::ForEachLine(contents, [](const char* line, int length, int number) {
        std::string entry(CFriendsFiles::ReEntry(std::string_view(line, length)));
        if (!entry.empty() && Lookup(entry) == nullptr &&
            CreateFriendManually(entry.c_str(), nullptr, AS_MANUAL, nullptr) == nullptr)
            FoundationLog("friends.re line %d: '%s' is not a mail address", number, entry.c_str());
    });
    state.merging = false;
}

void CFriend::MergeIfChangedOnDisk(bool now) {
    SFriendsState& state = FriendsState();
    if (state.merging || (!now && !CFriendsFiles::CheckDue(state.friendsChecked)))
        return;
    CFriendsFiles::SStamps stamps = CFriendsFiles::StampsOf("friends.csv", "friends.re");
    if (stamps == state.friendsStamps)
        return;
    state.friendsStamps = stamps;
    std::string contents;
    if (ReadWholeFile(state.cm_sLastFileLoaded, contents)) {
        state.merging = true;
        ParseFriendsFile(state.cm_sLastFileLoaded, contents, true);
        state.merging = false;
    }
    MergeReFile();
}

BOOL CFriend::LoadFriends(int reload, int fromCheckpoint) {
    CLock lock(&GetLock());
    SFriendsState& state = FriendsState();
    if (!reload && !fromCheckpoint && !state.cm_sLastFileLoaded.empty()) {
        MergeIfChangedOnDisk(false);
        return TRUE;
    }
    std::string path = CFriendsFiles::PathOf(fromCheckpoint ? "friends.tmp" : "friends.csv");
    if (path.empty())
        return FALSE;
    CFriendsFiles::SStamps stamps = CFriendsFiles::StampsOf("friends.csv", "friends.re");
    std::string contents;
    if (ReadWholeFile(path, contents)) {
        if (reload || fromCheckpoint)
            Shutdown();
        state.merging = true;
        ParseFriendsFile(path, contents, !state.cm_mpFriends.empty());
        state.merging = false;
    } else if (GetFileStamp(path).exists) {
        FoundationLog("cannot read %s: %s", path.c_str(), std::strerror(errno));
        return FALSE;
    }
    if (!fromCheckpoint) {
        // A missing file counts as loaded too: the stamps tell when it appears.
        state.cm_sLastFileLoaded = path;
        state.friendsStamps = stamps;
        state.friendsChecked = std::chrono::steady_clock::now();
        MergeReFile();
    }
    return TRUE;
}

BOOL CFriend::SaveFriends(int checkpoint) {
    CLock lock(&GetLock());
    SFriendsState& state = FriendsState();
    std::string path = CFriendsFiles::PathOf(checkpoint ? "friends.tmp" : "friends.csv");
    if (path.empty()) {
        CFriendsFiles::ReportSaveFailure(34, checkpoint ? "friends.tmp" : "friends.csv", 0);
        return FALSE;
    }
    CLockFile between;
    between.AcquireWaiting(CFriendsFiles::PathOf("friends.lock"));
    if (!checkpoint) {
        // What another process saved since this one read the file joins the list first.
        if (state.cm_sLastFileLoaded.empty())
            LoadFriends(0, 0);
        else
            MergeIfChangedOnDisk(true);
    }
    CFListFile file;
    for (auto& [address, entry] : state.cm_mpFriends) {
        file.WriteQuoted(entry->m_address);
        file.WriteQuotedInt(entry->m_state);
        file.WriteQuoted(entry->m_name == entry->m_address ? "" : entry->m_name);
        file.WriteQuotedInt(entry->GetSourceQuality());
        file.WriteQuoted(entry->m_note);
        file.WriteQuotedInt(static_cast<int>(entry->m_date));
        file.WriteQuotedInt(entry->m_hitCount);
        file.WriteQuotedInt(entry->m_addressBookCount);
        file.EndRecord();
    }
    const std::string csv = CFriendsFiles::PathOf("friends.csv");
    if (!checkpoint) {
        RemoveFile(CFriendsFiles::PathOf("friends.tmp"));
        if (GetFileStamp(csv).exists)
            LinkFile(csv, csv + ".bak");
        else
            RemoveFile(csv + ".bak");
    }
    if (int error = WriteFileAtomically(path, file.Contents())) {
        CFriendsFiles::ReportSaveFailure(34, path, error);
        return FALSE;
    }
    for (auto& [address, entry] : state.cm_mpFriends) {
        entry->m_saved = TRUE;
        entry->m_unsynced = false;
    }
    if (!checkpoint) {
        const std::string re = CFriendsFiles::PathOf("friends.re");
        RemoveFile(re + ".bak");
        RenameFile(re, re + ".bak");
        state.cm_iDirtyCount = 0;
        state.friendsStamps = CFriendsFiles::StampsOf("friends.csv", "friends.re");
    }
    return TRUE;
}

void CFriend::DeleteBackup() {
    CLock lock(&GetLock());
    std::string path = CFriendsFiles::PathOf("friends.tmp");
    if (!path.empty())
        RemoveFile(path);
}
