#include "review/HeldMail.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "filter/DecodedText.h"
#include "filter/MimeDecoder.h"
#include "kinbook/friends/FriendData.h"
#include "kinbook/foundation/Lock.h"
#include "kinbook/foundation/RegistryKey.h"
#include "kinbook/foundation/TextHelpers.h"
#include "review/HeldColumns.h"
#include "review/HeldNumbers.h"
#include "review/ReviewCounters.h"

namespace {

constexpr const char kSettingsKey[] = "Software\\Brevant\\Quillon\\Settings";
constexpr const char kNoteName[] = "Quillon-Analysis";
constexpr const char kFriendNote[] = "message moved from hold";
// A name of kLongName characters or more shows in a status text as its first
// kShownNameLength characters and "...".
constexpr size_t kLongName = 26;
constexpr size_t kShownNameLength = 23;

bool IsHeld(MSSTATUS location) {
    return location == MS_HOLD || location == MS_JAIL;
}

char TagOf(const CMessage& message) {
    return static_cast<char>(reinterpret_cast<intptr_t>(message.GetTag()));
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CompareNoCase(a.c_str(), b.c_str()) == 0;
}

// "N" or "STORE:N" with N a positive decimal number.
bool ParseTarget(const std::string& target, std::string& store, int& number) {
    const size_t colon = target.rfind(':');
    const std::string digits = colon == std::string::npos ? target : target.substr(colon + 1);
    store = colon == std::string::npos ? std::string() : target.substr(0, colon);
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        (colon != std::string::npos && store.empty()))
        return false;
    number = std::atoi(digits.c_str());
    return number > 0;
}

std::string Quoted(const char* format, const std::string& text) {
    std::vector<char> buffer(text.size() + 64);
    std::snprintf(buffer.data(), buffer.size(), format, text.c_str());
    return buffer.data();
}

}  // namespace

CHeldMail::SSettings CHeldMail::ReadSettings() {
    SSettings settings;
    CRegistryKey key;
    if (!key.Open(HKEY_CURRENT_USER, kSettingsKey, KEY_READ))
        return settings;
    int value = 0;
    if (key.QueryValue("Expurgate", value, FALSE))
        settings.expurgate = value != 0;
    if (key.QueryValue("Log Deletes", value, FALSE))
        settings.logDeletes = value != 0;
    return settings;
}

CHeldMail::CHeldMail(CMessageDatabase* database, IReviewCounters* counters)
    : m_database(database), m_counters(counters) {}

std::string CHeldMail::Shown(const std::string& text, const SSettings& settings) {
    if (!settings.expurgate)
        return text;
    CLock lock(&m_lock);
    return m_mask.Mask(text);
}

bool CHeldMail::List(std::vector<SHeldRow>& rows, std::string& error) {
    CLock lock(&m_lock);
    return ListLocked(rows, error);
}

bool CHeldMail::ListLocked(std::vector<SHeldRow>& rows, std::string& error) {
    rows.clear();
    // The database opens the store of every account the table has gained first.
    std::map<int, std::vector<std::string>> held;  // store identifier -> UIDLs
    for (MSSTATUS location : {MS_HOLD, MS_JAIL}) {
        std::vector<SMessageHandle> handles;
        m_database->GetContents(handles, location);
        for (SMessageHandle& handle : handles)
            held[handle.m_storeID].push_back(std::move(handle.m_uidl));
    }
    bool numbered = true;
    for (const auto& [storeID, uidls] : held) {
        CMessageStore* store = m_database->GetStore(storeID);
        if (store == nullptr)
            continue;
        std::vector<SHeldRow> storeRows;
        CollectStore(store, uidls, storeRows);
        std::vector<std::string> ordered;
        for (const SHeldRow& row : storeRows) ordered.push_back(row.uidl);
        std::vector<int> numbers;
        std::string numberError;
        if (!CHeldNumbers(store->GetPath() + ".num").Assign(ordered, numbers, numberError)) {
            numbered = false;
            error = numberError;
        }
        for (size_t i = 0; i < storeRows.size(); ++i) {
            storeRows[i].number = numbers[i];
            rows.push_back(std::move(storeRows[i]));
        }
    }
    return numbered;
}

void CHeldMail::CollectStore(CMessageStore* store, const std::vector<std::string>& uidls,
                             std::vector<SHeldRow>& rows) {
    CStoreLock lock(store, false);
    std::vector<std::pair<int, CMessage*>> held;  // in the server's order
    for (const std::string& uidl : uidls) {
        CMessage* message = m_database->GetMessage(store->GetStoreID(), &uidl);
        if (message != nullptr && IsHeld(message->GetLocation()))
            held.emplace_back(message->GetMessageNumber(), message);
    }
    std::stable_sort(held.begin(), held.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    CDecodedText decoder;
    for (const auto& entry : held) {
        CMessage* message = entry.second;
        SHeldRow row;
        row.storeID = store->GetStoreID();
        row.storeName = store->GetName();
        row.uidl = message->GetUIDL();
        row.location = message->GetLocation();
        const SAddress* from = message->GetFrom();
        row.email = from->m_address;
        row.name = CMimeDecoder::DecodeEncodedWords(from->m_name);
        decoder.Reset();  // it keeps one message's subject
        row.subject = decoder.GetDecodedSubject(message->GetSubject());
        row.received = message->GetDownloadedDate();
        row.size = message->GetSize();
        row.tag = TagOf(*message);
        row.analysis = HeldAnalysisNote(message->GetQLNotes());
        rows.push_back(std::move(row));
    }
}

bool CHeldMail::Resolve(const std::vector<std::string>& targets, std::vector<SHeldRow>& rows,
                        std::string& error) {
    CLock lock(&m_lock);
    rows.clear();
    std::vector<SHeldRow> all;
    std::string listError;
    // Numbers that could not be kept may name other messages in the next run, so they
    // name none in this one either.
    if (!ListLocked(all, listError)) {
        error = listError + "; the numbers of held messages cannot be kept";
        return false;
    }
    std::vector<SHeldRow> found;
    for (const std::string& target : targets) {
        std::string store;
        int number = 0;
        if (!ParseTarget(target, store, number)) {
            error = "'" + target + "' is not a message number (N or STORE:N)";
            return false;
        }
        std::vector<const SHeldRow*> matches;
        bool storeKnown = store.empty();
        for (const SHeldRow& row : all) {
            if (!store.empty() && !SameText(row.storeName, store))
                continue;
            storeKnown = true;
            if (row.number == number)
                matches.push_back(&row);
        }
        if (matches.empty()) {
            error = !storeKnown ? "no held messages in a store '" + store + "'"
                                : "no held message " + target;
            return false;
        }
        if (matches.size() > 1) {
            error = "number " + target + " is held in more than one store (";
            for (size_t i = 0; i < matches.size(); ++i)
                error += (i > 0 ? ", " : "") + matches[i]->storeName;
            error += "); name it as STORE:" + target;
            return false;
        }
        const SHeldRow& row = *matches.front();
        const bool named = std::any_of(found.begin(), found.end(), [&row](const SHeldRow& r) {
            return r.storeID == row.storeID && r.uidl == row.uidl;
        });
        if (!named)
            found.push_back(row);
    }
    rows = std::move(found);
    return true;
}

std::string CHeldMail::RowName(const SHeldRow& row) const {
    return !row.name.empty() ? row.name : row.email;
}

bool CHeldMail::IsStillHeld(const SHeldRow& row) {
    CMessageStore* store = m_database->GetStore(row.storeID);
    if (store == nullptr)
        return false;
    CStoreLock lock(store, false);
    const CMessage* message = m_database->GetMessage(row.storeID, &row.uidl);
    return message != nullptr && IsHeld(message->GetLocation());
}

std::string CHeldMail::NotHeldText(const SHeldRow& row) {
    return "message " + row.storeName + ":" + std::to_string(row.number) +
           " is no longer held; left as it is";
}

bool CHeldMail::Move(const SHeldRow& row, MSSTATUS target, const std::string& note, char& tag,
                     std::string& error) {
    CMessageStore* store = m_database->GetStore(row.storeID);
    if (store == nullptr) {
        error = "the store " + row.storeName + " is gone";
        return false;
    }
    CStoreLock lock(store, true);
    CMessage* message = m_database->GetMessage(row.storeID, &row.uidl);
    if (message == nullptr || !IsHeld(message->GetLocation())) {
        error = NotHeldText(row);
        return false;
    }
    tag = TagOf(*message);
    message->SetLocation(target);
    if (!note.empty())
        message->AddQLNote(kNoteName, note.c_str());
    return true;
}

std::string CHeldMail::MakeFriend(const SHeldRow& row, const SSettings& settings,
                                  std::vector<std::string>& status) {
    const std::string shown = Shown(row.email, settings);
    CFriendData handle;
    if (handle.Lookup(row.email.c_str()) && handle.GetFriendly() != FRIENDLY_NONE) {
        status.push_back(Quoted("The address \"%s\" is already a friend!", shown));
        return "user moved message to inbox + make friend (friend already).";
    }
    if (handle.Create(row.email.c_str(), row.name.empty() ? nullptr : row.name.c_str(), AS_MANUAL,
                      kFriendNote)) {
        status.push_back(Quoted("Add \"%s\" as new friend!", shown));
        return "user moved message to inbox + make friend.";
    }
    status.push_back(Quoted("Add \"%s\" as new friend failed!", shown));
    return "user moved message to inbox + make friend FAILED!.";
}

bool CHeldMail::SaveStores(const std::vector<int>& storeIDs, std::string& error) {
    bool saved = true;
    for (int storeID : storeIDs) {
        CMessageStore* store = m_database->GetStore(storeID);
        if (store != nullptr && !store->Save(0)) {
            error = "cannot save the store " + store->GetName() + " (see the log)";
            saved = false;
        }
    }
    return saved;
}

namespace {

void AddStore(std::vector<int>& storeIDs, int storeID) {
    if (std::find(storeIDs.begin(), storeIDs.end(), storeID) == storeIDs.end())
        storeIDs.push_back(storeID);
}

void AddError(std::string& errors, const std::string& error) {
    errors += (errors.empty() ? "" : "\n") + error;
}

}  // namespace

bool CHeldMail::Release(const std::vector<SHeldRow>& selected, bool makeFriend,
                        std::vector<std::string>& status, std::string& error) {
    CLock lock(&m_lock);
    if (selected.empty())
        return true;
    const SSettings settings = ReadSettings();
    if (selected.size() > 1) {
        status.push_back("Released " + std::to_string(selected.size()) + " messages to inbox.");
    } else if (const std::string name = Shown(RowName(selected.front()), settings); name.empty()) {
        status.push_back("Release one message to inbox.");
    } else {
        status.push_back(name.size() >= kLongName
                             ? "Released \"" + name.substr(0, kShownNameLength) + "...\" to inbox."
                             : "Released \"" + name + "\" to inbox.");
    }

    std::vector<SHeldRow> rows = selected;
    if (makeFriend) {
        std::vector<SHeldRow> all;
        std::string ignored;
        ListLocked(all, ignored);
        for (const SHeldRow& row : all) {
            const auto same = [&row](const SHeldRow& r) {
                return r.storeID == row.storeID && r.uidl == row.uidl;
            };
            const auto sender = [&row](const SHeldRow& r) { return SameText(r.email, row.email); };
            if (!row.email.empty() && std::none_of(rows.begin(), rows.end(), same) &&
                std::any_of(selected.begin(), selected.end(), sender))
                rows.push_back(row);
        }
    }

    std::string errors;
    std::vector<int> touched;
    for (const SHeldRow& row : rows) {
        const std::string note =
            makeFriend ? MakeFriend(row, settings, status) : "user moved message to inbox.";
        char tag = 0;
        std::string moveError;
        if (!Move(row, MS_INBOX, note, tag, moveError)) {
            AddError(errors, moveError);
            continue;
        }
        AddStore(touched, row.storeID);
        m_counters->CountReleased(tag);
    }
    std::string saveError;
    if (!SaveStores(touched, saveError))
        AddError(errors, saveError);
    error = errors;
    return errors.empty();
}

bool CHeldMail::Delete(const std::vector<SHeldRow>& rows, DELETE_SOURCE source,
                       std::vector<std::string>& status, std::string& error) {
    CLock lock(&m_lock);
    if (rows.empty())
        return true;
    const SSettings settings = ReadSettings();
    std::string errors;
    // Only what is still held is logged: the log lists what was deleted.
    std::vector<SHeldRow> held;
    for (const SHeldRow& row : rows) {
        if (IsStillHeld(row))
            held.push_back(row);
        else
            AddError(errors, NotHeldText(row));
    }
    // A log that cannot be written does not stop the deletion.
    if (settings.logDeletes && !held.empty())
        CDeleteLog().Write(held, source, std::time(nullptr));

    std::vector<int> touched;
    int deleted = 0;
    for (const SHeldRow& row : held) {
        char tag = 0;
        std::string moveError;
        if (!Move(row, MS_DELETED, std::string(), tag, moveError)) {
            AddError(errors, moveError);
            continue;
        }
        ++deleted;
        AddStore(touched, row.storeID);
        m_counters->CountDeleted(tag);
    }
    if (deleted == 1 && rows.size() == 1) {
        const std::string name = Shown(RowName(rows.front()), settings);
        status.push_back(name.empty() ? std::string("Deleted one message.")
                         : name.size() >= kLongName
                             ? "Deleted \"" + name.substr(0, kShownNameLength) + "...\"."
                             : "Deleted \"" + name + "\".");
    } else if (deleted > 0) {
        status.push_back("Deleted " + std::to_string(deleted) + " message" +
                         (deleted > 1 ? "s." : "."));
    }
    std::string saveError;
    if (!SaveStores(touched, saveError))
        AddError(errors, saveError);
    error = errors;
    return errors.empty();
}
