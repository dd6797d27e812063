#include "kinbook/friends/EmailDomain.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "friends/FListFile.h"
#include "friends/FriendsFiles.h"
#include "friends/FriendsState.h"
#include "kinbook/foundation/FoundationLog.h"
#include "kinbook/foundation/LockFile.h"
#include "kinbook/friends/Friend.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/StringTable.h"
#include "kinbook/foundation/TextHelpers.h"

struct CEmailDomain::SChildren {
    std::unordered_map<std::string, CEmailEntity*, SNoCaseHash, SNoCaseEqual> map;
};

struct CEmailDomain::SPosition {
    std::vector<std::pair<std::string, CEmailEntity*>> children;
    size_t next = 0;
};

namespace {

int ImplicitState(int state) {
    return (state & ES_DELETED) | ((state & ES_ACCEPTED_MASK) != 0 ? 5 : 4);
}

}  // namespace

CEmailDomain::CEmailDomain(const std::string& name, CEmailDomain* parent)
    : m_name(name), m_parent(parent), m_children(std::make_unique<SChildren>()) {}

CEmailDomain::~CEmailDomain() {
    for (auto& [key, child] : m_children->map) {
        if (child->IsDomain())
            delete child;
        else
            static_cast<CFriend*>(child)->SetDomain(nullptr);
    }
}

CEmailDomain* CEmailDomain::GetRoot() {
    CLock lock(&CFriend::GetLock());
    SFriendsState& state = FriendsState();
    if (state.cm_pRoot == nullptr)
        state.cm_pRoot = new CEmailDomain("", nullptr);
    return state.cm_pRoot;
}

void CEmailDomain::SetState(int state, int quiet) {
    CLock lock(&CFriend::GetLock());
    if (state == m_state)
        return;
    if (!quiet) {
        ++FriendsState().cm_iDomainDirtyCount;
        m_saved = FALSE;
        m_unsynced = true;
    }
    m_state = state;
    NotifyTree();
}

void CEmailDomain::SetNote(const std::string& note) {
    CLock lock(&CFriend::GetLock());
    if (note == m_note)
        return;
    CEmailEntity::SetNote(note);
    ++FriendsState().cm_iDomainDirtyCount;
    m_unsynced = true;
}

void CEmailDomain::SetCompanyName(const std::string& name) {
    CLock lock(&CFriend::GetLock());
    if (name == m_companyName)
        return;
    m_companyName = name;
    ++FriendsState().cm_iDomainDirtyCount;
    m_unsynced = true;
}

void CEmailDomain::SetIncludeChildren(int include) {
    CLock lock(&CFriend::GetLock());
    if (m_includeChildren != (include != 0))
        m_unsynced = true;
    m_includeChildren = include != 0;
}

CEmailEntity* CEmailDomain::FindEntry(std::string_view key) const {
    auto found = m_children->map.find(key);
    return found != m_children->map.end() ? found->second : nullptr;
}

CEmailDomain* CEmailDomain::FindChild(std::string_view key) const {
    CEmailEntity* entry = FindEntry(key);
    return entry != nullptr && entry->IsDomain() ? static_cast<CEmailDomain*>(entry) : nullptr;
}

void CEmailDomain::AddEntry(const std::string& key, CEmailEntity* entry) {
    m_children->map.emplace(key, entry);
}

void CEmailDomain::ForgetFriend(CFriend* entry) {
    auto found = m_children->map.find(entry->GetAddress());
    if (found != m_children->map.end() && found->second == entry)
        m_children->map.erase(found);
}

CEmailDomain::POSITION CEmailDomain::StartChildren() const {
    CLock lock(&CFriend::GetLock());
    if (m_children->map.empty())
        return nullptr;
    auto position = std::make_shared<SPosition>();
    for (auto& entry : m_children->map) position->children.emplace_back(entry);
    return position;
}

BOOL CEmailDomain::EnumChildren(POSITION& position, std::string& key, CEmailEntity*& child,
                                int includeDeleted) const {
    CLock lock(&CFriend::GetLock());
    while (position != nullptr && position->next < position->children.size()) {
        auto& [name, entry] = position->children[position->next++];
        if (FindEntry(name) != entry || (!includeDeleted && entry->IsDeleted()))
            continue;
        key = name;
        child = entry;
        return TRUE;
    }
    position.reset();
    child = nullptr;
    return FALSE;
}

// The child domain `key` of this node: a deleted one is revived (state 0) unless the
// friend being placed is deleted too; a missing one is made when `create` is set.
CEmailDomain* CEmailDomain::FindOrRevive(const std::string& key, CFriend* entry, int create) {
    CEmailEntity* found = FindEntry(key);
    if (found != nullptr && !found->IsDomain())
        return this;
    auto* child = static_cast<CEmailDomain*>(found);
    if (child != nullptr) {
        if (!child->IsDeleted() || (entry != nullptr && entry->IsDeleted()))
            return child;
        if (!create)
            return nullptr;
        child->SetState(0);
        return child;
    }
    if (!create)
        return nullptr;
    child = new CEmailDomain(key, this);
    AddEntry(key, child);
    return child;
}

CEmailDomain* CEmailDomain::AddAddress(std::string text, CFriend* entry, int isAddress,
                                       int create) {
    CLock lock(&CFriend::GetLock());
    size_t split = isAddress ? text.rfind('@') : text.find('.');
    if (split == std::string::npos)
        return isAddress || text.empty() ? nullptr : FindOrRevive(text, entry, create);
    CEmailDomain* parent = AddAddress(text.substr(split + 1), entry, 0, create);
    if (parent == nullptr)
        return nullptr;
    if (!isAddress)
        return parent->FindOrRevive(text, entry, create);
    if (parent->FindEntry(text) != nullptr)
        return parent;  // the address hangs there already
    if (entry == nullptr)
        return create ? parent : nullptr;
    entry->SetDomain(parent);
    parent->AddEntry(text, entry);
    if (parent->IsAccepted())
        entry->SetState(ImplicitState(entry->GetState()));
    return parent;
}

CEmailDomain* CEmailDomain::FindAddress(const std::string& text, int isAddress) {
    return GetRoot()->AddAddress(text, nullptr, isAddress, 0);
}

void CEmailDomain::RecursiveSetState(int state) {
    CLock lock(&CFriend::GetLock());
    SetState(state);
    for (auto& [key, child] : m_children->map) {
        if (child->IsDeleted())
            continue;
        if (child->IsDomain()) {
            static_cast<CEmailDomain*>(child)->RecursiveSetState(state);
            continue;
        }
        auto* entry = static_cast<CFriend*>(child);
        int current = entry->GetState();
        if ((state & ES_ACCEPTED_MASK) != 0)
            entry->SetState(ImplicitState(current));
        else if ((current & ES_IMPLICIT) != 0)
            entry->SetState((current & ES_ACCEPTED_MASK) != 0 ? 1 : 0);
    }
}

void CEmailDomain::RecheckChildren(int force) {
    CLock lock(&CFriend::GetLock());
    for (auto& [key, child] : m_children->map) {
        if (child->IsDeleted())
            continue;
        if (!child->IsDomain()) {
            if (force)
                child->SetState(ImplicitState(child->GetState()));
            continue;
        }
        auto* domain = static_cast<CEmailDomain*>(child);
        if (force)
            domain->SetState(ES_ACCEPTED);
        domain->RecheckChildren(force || domain->m_recheckChildren);
    }
    m_recheckChildren = false;
}

BOOL CEmailDomain::HasLeaves() const {
    CLock lock(&CFriend::GetLock());
    for (auto& [key, child] : m_children->map) {
        if (child->IsDeleted())
            continue;
        if (!child->IsDomain() || static_cast<CEmailDomain*>(child)->HasLeaves())
            return TRUE;
    }
    return FALSE;
}

BOOL CEmailDomain::IsTLD() const {
    CLock lock(&CFriend::GetLock());
    if (m_parent == nullptr || m_parent != FriendsState().cm_pRoot)
        return FALSE;
    return std::all_of(m_children->map.begin(), m_children->map.end(),
                       [](const auto& entry) { return entry.second->IsDomain(); });
}

int CEmailDomain::EnumSelected(SelectedCallback callback, void* context) {
    CLock lock(&CFriend::GetLock());
    for (auto& [key, child] : m_children->map) {
        if (!child->IsDomain())
            continue;
        auto* domain = static_cast<CEmailDomain*>(child);
        int result = domain->IsAccepted() ? callback(domain, context)
                                          : domain->EnumSelected(callback, context);
        if (result != 0)
            return result;
    }
    return 0;
}

void CEmailDomain::DeleteChild(const std::string& key, CEmailEntity* child, int updateTree,
                               int recursive) {
    CLock lock(&CFriend::GetLock());
    if (recursive && child->IsDomain()) {
        auto* domain = static_cast<CEmailDomain*>(child);
        std::vector<CFriend*> friends;
        for (auto& [childKey, below] : domain->m_children->map) {
            if (below->IsDomain())
                domain->DeleteChild(childKey, below, updateTree, 1);
            else
                friends.push_back(static_cast<CFriend*>(below));
        }
        CFriend::DeleteList(friends.data(), static_cast<int>(friends.size()));
    }
    if (child->IsDomain())
        child->SetState(ES_DELETED);
    ++FriendsState().cm_iDomainDirtyCount;
    if (updateTree)
        child->AddToTree(nullptr, nullptr, nullptr);
}

void CEmailDomain::RemoveChild(const std::string& key, CEmailEntity* child, int updateTree,
                               int recursive) {
    CLock lock(&CFriend::GetLock());
    if (recursive && child->IsDomain()) {
        auto* domain = static_cast<CEmailDomain*>(child);
        std::vector<std::pair<std::string, CEmailEntity*>> below(domain->m_children->map.begin(),
                                                                 domain->m_children->map.end());
        std::vector<CFriend*> friends;
        for (auto& [childKey, entry] : below) {
            if (entry->IsDomain())
                domain->RemoveChild(childKey, entry, updateTree, 1);
            else
                friends.push_back(static_cast<CFriend*>(entry));
        }
        CFriend::RemoveList(friends.data(), static_cast<int>(friends.size()));
    }
    ++FriendsState().cm_iDomainDirtyCount;
    auto found = m_children->map.find(key);
    if (found != m_children->map.end() && found->first == key && found->second == child) {
        m_children->map.erase(found);
        if (updateTree)
            child->AddToTree(nullptr, nullptr, nullptr);
        if (child->IsDomain())
            delete child;  // nothing else owns it now
        else
            static_cast<CFriend*>(child)->SetDomain(nullptr);
    }
}

void CEmailDomain::Close() {
    CLock lock(&CFriend::GetLock());
    auto children = std::move(m_children->map);
    m_children->map.clear();
    for (auto& [key, child] : children) {
        if (child->IsDomain()) {
            static_cast<CEmailDomain*>(child)->Close();
            delete child;
        } else {
            static_cast<CFriend*>(child)->SetDomain(nullptr);
        }
    }
}

void CEmailDomain::ClearTree() {
    CLock lock(&CFriend::GetLock());
    for (auto& [key, child] : m_children->map) {
        child->AddToTree(nullptr, nullptr, nullptr);
        if (child->IsDomain())
            static_cast<CEmailDomain*>(child)->ClearTree();
    }
}

std::string CEmailDomain::GetDisplayString() const {
    std::string format;
    LoadLocalString(nullptr, 35, format);
    bool company = !m_companyName.empty(), note = !m_note.empty();
    std::string text(m_name.size() + m_companyName.size() + m_note.size() + 64, '\0');
    int length = std::snprintf(text.data(), text.size(), format.c_str(), m_name.c_str(),
                               company || note ? ": " : "", m_companyName.c_str(),
                               company && note ? "; " : "", m_note.c_str());
    text.resize(length > 0 ? std::min(static_cast<size_t>(length), text.size() - 1) : 0);
    return text;
}

BOOL CEmailDomain::CompaniesListDirty() {
    CLock lock(&CFriend::GetLock());
    return FriendsState().cm_iDomainDirtyCount > 0;
}

int CEmailDomain::GetDirtyCount() {
    CLock lock(&CFriend::GetLock());
    return FriendsState().cm_iDomainDirtyCount;
}

void CEmailDomain::Shutdown() {
    CLock lock(&CFriend::GetLock());
    SFriendsState& state = FriendsState();
    delete state.cm_pRoot;
    state.cm_pRoot = nullptr;
}

bool CEmailDomain::IsValidDomainName(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.back() == '.' ||
        name.find("..") != std::string_view::npos)
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte <= ' ' || byte == 0x7f || c == '@' || c == '"' || c == '\\';
    });
}

// ---- "companies.csv" ----

// One line: 0 when it does not read (`fatal` when even its domain or state field fails).
BOOL CEmailDomain::ReadLine(const char* line, int length, bool fromOutside, bool& recheck,
                            bool& fatal) {
    const char* p = line;
    int left = length;
    std::string domain, company, note;
    int state = 0, count = 0;
    fatal = true;
    if (!ParseQuotedString(p, left, domain) || !IsValidDomainName(domain))
        return FALSE;
    CEmailDomain* node = GetRoot()->AddAddress(domain, nullptr, 0, 1);
    if (node == nullptr || !ParseQuotedInt(p, left, state))
        return FALSE;
    fatal = false;
    bool keep = fromOutside && node->m_unsynced;
    if (!keep) {
        node->m_state = state != 0 ? ES_ACCEPTED : 0;
        node->m_includeChildren = (state & 2) != 0;
        if (node->m_includeChildren) {
            node->m_recheckChildren = true;
            recheck = true;
        }
    }
    bool rest = ParseQuotedString(p, left, company) && ParseQuotedString(p, left, note) &&
                ParseQuotedInt(p, left, count);
    if (!keep && rest) {
        node->m_companyName = company;
        node->m_note = note;
    }
    if (rest)
        node->m_hitCount = fromOutside ? std::max(node->m_hitCount, count) : count;
    node->m_saved = TRUE;
    if (!keep)
        node->m_unsynced = false;
    return rest;
}

BOOL CEmailDomain::ReadCompaniesFile(const std::string& path, bool fromOutside, bool& recheck) {
    std::string contents;
    if (!ReadWholeFile(path, contents))
        return !GetFileStamp(path).exists;
    CFriendsFiles::ForEachLine(contents, [&](const char* line, int length, int number) {
        std::string_view text(line, static_cast<size_t>(length));
        size_t first = text.find_first_not_of(" \t");
        if (first == std::string_view::npos || text[first] == '#')
            return;
        text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
        bool fatal = false;
        if (!GetRoot()->ReadLine(text.data(), static_cast<int>(text.size()), fromOutside, recheck,
                                 fatal))
            FoundationLog("%s line %d: %s; %s", path.c_str(), number,
                          fatal ? "no domain and state" : "a field does not read",
                          fatal ? "skipped" : "the rest of the line is ignored");
    });
    return TRUE;
}

void CEmailDomain::ReadCompaniesRe(bool& recheck) {
    std::string contents;
    if (!ReadWholeFile(CFriendsFiles::PathOf("companies.re"), contents))
        return;
    CFriendsFiles::ForEachLine(contents, [&](const char* line, int length, int number) {
        std::string_view entry = CFriendsFiles::ReEntry(std::string_view(line, length));
        if (entry.empty())
            return;
        bool withChildren = entry.substr(0, 2) == "*.";
        if (withChildren || entry.substr(0, 2) == "*@")
            entry.remove_prefix(2);
        CEmailDomain* node = IsValidDomainName(entry)
                                 ? GetRoot()->AddAddress(std::string(entry), nullptr, 0, 1)
                                 : nullptr;
        if (node == nullptr) {
            FoundationLog("companies.re line %d: '%.*s' is not a domain", number,
                          static_cast<int>(entry.size()), entry.data());
            return;
        }
        node->SetState(ES_ACCEPTED);
        if (withChildren) {
            node->SetIncludeChildren(1);
            node->m_recheckChildren = true;
            recheck = true;
        }
    });
}

void CEmailDomain::MergeIfChangedOnDisk(bool now) {
    SFriendsState& state = FriendsState();
    if (state.companiesMerging || (!now && !CFriendsFiles::CheckDue(state.companiesChecked)))
        return;
    CFriendsFiles::SStamps stamps = CFriendsFiles::StampsOf("companies.csv", "companies.re");
    if (stamps == state.companiesStamps)
        return;
    state.companiesStamps = stamps;
    state.companiesMerging = true;
    bool recheck = false;
    ReadCompaniesFile(CFriendsFiles::PathOf("companies.csv"), true, recheck);
    ReadCompaniesRe(recheck);
    if (recheck)
        GetRoot()->RecheckChildren(0);
    state.companiesMerging = false;
}

BOOL CEmailDomain::LoadCompanies() {
    CLock lock(&CFriend::GetLock());
    SFriendsState& state = FriendsState();
    if (CompareNoCase(state.cm_sLastCompaniesLoaded.c_str(), "companies.csv") == 0) {
        MergeIfChangedOnDisk(false);
        return TRUE;
    }
    std::string path = CFriendsFiles::PathOf("companies.csv");
    if (path.empty())
        return FALSE;
    state.cm_sLastCompaniesLoaded = "companies.csv";
    state.companiesStamps = CFriendsFiles::StampsOf("companies.csv", "companies.re");
    state.companiesChecked = std::chrono::steady_clock::now();
    state.companiesMerging = true;
    bool recheck = false;
    // Domains made before the first load keep what was done to them.
    BOOL read = ReadCompaniesFile(path, !GetRoot()->m_children->map.empty(), recheck);
    if (!read)
        FoundationLog("cannot read %s", path.c_str());
    ReadCompaniesRe(recheck);
    if (recheck)
        GetRoot()->RecheckChildren(0);
    state.companiesMerging = false;
    return read;
}

// The state field is 3 only for a domain whose sub-domains are all accepted by its own
// include-children choice: reading 3 back sets include-children, so a domain accepted by
// itself is written 1 and stays accepted by itself.
void CEmailDomain::SaveDomain(CFListFile& file, int& allAccepted) {
    int allBelow = 1;
    for (auto& [key, child] : m_children->map) {
        if (!child->IsDomain())
            continue;
        if (!child->IsAccepted())
            allBelow = 0;
        static_cast<CEmailDomain*>(child)->SaveDomain(file, allBelow);
    }
    if (!allBelow)
        allAccepted = 0;
    if (m_parent == nullptr)
        return;
    int state = 0;
    if (!IsAccepted())
        allAccepted = 0;
    else
        state = m_includeChildren ? 3 : 1;
    file.WriteQuoted(m_name);
    file.WriteQuotedInt(state);
    file.WriteQuoted(m_companyName);
    file.WriteQuoted(m_note);
    file.WriteQuotedInt(m_hitCount);
    file.EndRecord();
    m_saved = TRUE;
    m_unsynced = false;
}

BOOL CEmailDomain::SaveCompanies() {
    CLock lock(&CFriend::GetLock());
    SFriendsState& state = FriendsState();
    std::string path = CFriendsFiles::PathOf("companies.csv");
    if (path.empty()) {
        CFriendsFiles::ReportSaveFailure(33, "companies.csv", 0);
        return FALSE;
    }
    CLockFile between;
    between.AcquireWaiting(CFriendsFiles::PathOf("friends.lock"));
    if (state.cm_sLastCompaniesLoaded.empty())
        LoadCompanies();
    else
        MergeIfChangedOnDisk(true);
    CFListFile file;
    int allAccepted = 1;
    GetRoot()->SaveDomain(file, allAccepted);
    if (GetFileStamp(path).exists)
        LinkFile(path, path + ".bak");
    else
        RemoveFile(path + ".bak");
    if (int error = WriteFileAtomically(path, file.Contents())) {
        CFriendsFiles::ReportSaveFailure(33, path, error);
        return FALSE;
    }
    const std::string re = CFriendsFiles::PathOf("companies.re");
    RemoveFile(re + ".bak");
    RenameFile(re, re + ".bak");
    state.cm_iDomainDirtyCount = 0;
    state.companiesStamps = CFriendsFiles::StampsOf("companies.csv", "companies.re");
    return TRUE;
}

BOOL CEmailDomain::CloseCompanies() {
    CLock lock(&CFriend::GetLock());
    FriendsState().cm_sLastCompaniesLoaded.clear();
    GetRoot()->Close();
    return LoadCompanies();
}
