#include "proxy/POP3Synchronizer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "ferrymail/accounts/AccountData.h"
#include "ferrymail/store/FerrymailStrings.h"
#include "ferrymail/proxy/Logger.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "kinbook/foundation/FunctionTimer.h"
#include "kinbook/foundation/StringTable.h"
#include "proxy/ProxyConnection.h"

namespace {

static_assert(CProxyConnection::kMaxLineLength == 8 * 1024 * 1024,
              "the note of a message with a long line names the limit");

// "%d %[^...]": a number, then the rest of the line (trimmed).
bool ParseNumberAndRest(const std::string& text, int& number, std::string& rest) {
    const char* p = text.c_str();
    char* end = nullptr;
    const long value = std::strtol(p, &end, 10);
    if (end == p)
        return false;
    number = static_cast<int>(value);
    rest = SPOP3Command::Trim(end);
    return true;
}

}  // namespace

CPOP3Synchronizer::CPOP3Synchronizer(IPOP3SessionHost& host, CLogger& log,
                                     CPOP3Statistics& statistics, const int& topLines)
    : m_host(host), m_log(log), m_statistics(statistics), m_topLines(topLines) {}

CPOP3Synchronizer::~CPOP3Synchronizer() {
    CloseStore();
}

// ---------------------------------------------------------------------------------------
// The store holder.

bool CPOP3Synchronizer::OpenStore(CAccountData* account) {
    CloseStore();
    m_clientKey = account->m_programName;
    CMessageDatabase* database = CMessageDatabase::GetMessageDatabase();
    CMessageStore* store = database->FindStore(account->m_serverName, account->m_userName, 1,
                                               account->m_leaveMailOnServer ? 1 : 0);
    if (store == nullptr)
        return false;
    store->AddRef();
    m_store = store;
    if (!m_store->GetClientStat(m_clientKey, &m_recordedCount, &m_recordedSize)) {
        m_recordedCount = -1;
        m_recordedSize = -1;
    }
    return true;
}

void CPOP3Synchronizer::CloseStore() {
    if (m_store == nullptr)
        return;
    if (!m_storeSessionEnded) {
        if (m_listingPending) {
            // The next session must not take the mailbox for unchanged.
            m_store->SetServerStat(-1, -1, nullptr);
            m_store->Save(0);
            m_listingPending = false;
        }
        // Without "+OK" to QUIT the server removed nothing (RFC 1939): the client's
        // deletions of this session are undone, or every later session would hide
        // those messages while the server still holds them.
        m_store->UndeleteAll();
        m_store->EndSession();
    }
    m_storeSessionEnded = false;
    CRefCount::DoRelease(m_store);
    m_store = nullptr;
    m_recordedCount = -1;
    m_recordedSize = -1;
}

int CPOP3Synchronizer::StoreID() const {
    return m_store != nullptr ? m_store->GetStoreID() : 0;
}

void CPOP3Synchronizer::OnQuitAccepted() {
    if (m_store == nullptr)
        return;
    if (m_listingPending) {
        m_store->SetServerStat(-1, -1, nullptr);
        m_listingPending = false;
    }
    m_store->SaveInBackground(1);
    // The mailbox session is over: the store is free for the client's next login once
    // it is saved, not only once the session's thread has written the statistics and
    // ended. The reference stays for the notifications that name it.
    if (!m_storeSessionEnded) {
        m_store->EndSession();
        m_storeSessionEnded = true;
    }
}

int CPOP3Synchronizer::NextToDelete() const {
    return m_store != nullptr ? m_store->FindNext(MS_DELETED, 0, nullptr, nullptr) : 0;
}

bool CPOP3Synchronizer::OnStatReply(const std::string& line, bool fromClient) {
    int count = 0, size = 0;
    if (std::sscanf(line.c_str(), "+OK %d %d", &count, &size) != 2 || m_store == nullptr)
        return m_synchronized;
    int same = 0;
    m_store->SetServerStat(count, size, &same);
    // A mailbox that differs before this session was ever in step has mail the store
    // has not listed: the count just recorded must not pass for in step until it is.
    if (fromClient && same == 0 && m_phase != ESynchPhase::kFinished)
        m_listingPending = true;
    m_synchronized = same != 0 && !m_listingPending;
    m_store->SetClientStat(m_clientKey, count, size);
    m_recordedCount = count;
    m_recordedSize = size;
    return m_synchronized;
}

// ---------------------------------------------------------------------------------------
// Commands and their replies.

void CPOP3Synchronizer::SendCommand(EPOP3Command code, int number, int second) {
    m_pending = true;
    m_server = SPOP3Command::Make(code, number, second);
    m_download.clear();
    m_downloadCut = false;
    m_longLine = false;
    m_listing.clear();
    m_listingError.clear();
    if (code == EPOP3Command::kCapa)
        m_capabilityLines.clear();
    m_host.SendServer(m_server.text);
}

void CPOP3Synchronizer::Send(EPOP3Command code, int number) {
    SendCommand(code, number, -1);
}

void CPOP3Synchronizer::StartSynchronization(bool login) {
    m_loginSynch = login;
    m_statistics.StartSynch(m_host.ServerBytes());
    m_windowError.clear();
    m_ahead.clear();
    m_phase = ESynchPhase::kStat;
    if (m_store != nullptr)
        m_host.Notify(static_cast<UINT>((m_store->GetStoreID() << 16) | MN_START_SYNCH),
                      m_store->GetName());
    SendCommand(EPOP3Command::kStat, -1, -1);
}

void CPOP3Synchronizer::OnServerClosed() {
    m_pending = false;
    m_ahead.clear();
}

EInternalOutcome CPOP3Synchronizer::OnLine(const std::string& line) {
    if (!m_server.replyStarted) {
        if (SPOP3Command::StartsWith(line, "-ERR") || SPOP3Command::StartsWith(line, "+OK"))
            return OnFirstLine(line);
        // Neither: taken as a data line.
        m_server.replyStarted = true;
    }
    if (line == ".")
        return Complete(nullptr);
    int number = 0, size = 0;
    std::string rest;
    switch (m_server.code) {
        case EPOP3Command::kList:
            if (std::sscanf(line.c_str(), "%d %d", &number, &size) == 2 && m_store != nullptr)
                m_store->SetServerSize(number, size);
            break;
        case EPOP3Command::kUidl:
            NoteListingLine(line);
            break;
        case EPOP3Command::kRetr:
        case EPOP3Command::kTop:
            AppendDownload(line.data(), line.size());
            AppendDownload("\r\n", 2);
            break;
        case EPOP3Command::kCapa:
            m_capabilityLines.push_back(line);
            break;
        default:
            break;
    }
    return EInternalOutcome::kWaiting;
}

EInternalOutcome CPOP3Synchronizer::OnFirstLine(const std::string& line) {
    if (m_checkListing && m_server.Is(EPOP3Command::kUidl) &&
        SPOP3Command::StartsWith(line, "-ERR")) {
        m_checkListing = false;
        m_server.Reset();
        m_pending = false;
        return Finish();
    }
    if (SPOP3Command::StartsWith(line, "-ERR")) {
        // A server without CAPA simply has none of the capabilities.
        return Complete(m_server.Is(EPOP3Command::kCapa) ? nullptr : &line);
    }
    m_server.replyStarted = true;
    if (m_server.multiLine) {
        if (m_server.Is(EPOP3Command::kUidl) && m_store != nullptr)
            m_statistics.StartListing();
        return EInternalOutcome::kWaiting;
    }
    int number = 0, size = 0;
    switch (m_server.code) {
        case EPOP3Command::kDele:
            if (m_store != nullptr)
                m_store->MarkDeletedFromServer(m_server.serverNumber.value, 1);
            break;
        case EPOP3Command::kList:
            if (std::sscanf(line.c_str(), "+OK %d %d", &number, &size) == 2 && m_store != nullptr)
                m_store->SetServerSize(number, size);
            break;
        case EPOP3Command::kStat:
            OnStatReply(line, false);
            break;
        default:
            break;
    }
    return Complete(nullptr);
}

size_t CPOP3Synchronizer::OnBlock(const char* data, size_t size) {
    if (!m_server.replyStarted || !m_server.Retrieves())
        return 0;
    const size_t taken = SPOP3Command::BodyLength(data, size);
    AppendDownload(data, taken);
    return taken;
}

bool CPOP3Synchronizer::OnLongLine(bool first) {
    if (!m_server.replyStarted || !m_server.Retrieves())
        return false;
    if (first && !m_longLine) {
        m_longLine = true;
        m_downloadCut = true;
        m_log.LogFormat(LOG_INFO,
                        "Message %d has a line longer than %zu bytes: stored cut before it "
                        "and held",
                        m_server.serverNumber.value, CProxyConnection::kMaxLineLength);
    }
    return true;
}

void CPOP3Synchronizer::AppendDownload(const char* data, size_t size) {
    if (m_downloadCut)
        return;
    if (m_download.size() + size <= kMaxDownload) {
        m_download.append(data, size);
        return;
    }
    // Cut at the last whole line that fits; a single longer line is cut where it
    // reaches the limit, its end put back.
    m_downloadCut = true;
    const size_t room = kMaxDownload - m_download.size();
    std::string_view part(data, room);
    const size_t lineEnd = part.rfind("\r\n");
    if (lineEnd != std::string_view::npos)
        m_download.append(data, lineEnd + 2);
    else if (m_download.empty())
        m_download.append(data, room).append("\r\n");
    m_log.LogFormat(LOG_INFO, "Message %d longer than %zu bytes: stored cut short",
                    m_server.serverNumber.value, kMaxDownload);
}

EInternalOutcome CPOP3Synchronizer::Complete(const std::string* error) {
    m_pending = false;
    if (error != nullptr && !m_ahead.empty()) {
        // The replies to the rest of the window still come; the error ends the
        // synchronization once they have.
        if (m_windowError.empty())
            m_windowError = *error;
        AdvanceWindow();
        return EInternalOutcome::kWaiting;
    }
    if (error != nullptr) {
        std::string first = m_windowError.empty() ? *error : m_windowError;
        m_windowError.clear();
        return Fail(first);
    }
    const EInternalOutcome outcome = NextStep();
    if (outcome != EInternalOutcome::kWaiting)
        m_server.Reset();
    return outcome;
}

EInternalOutcome CPOP3Synchronizer::Fail(const std::string& error) {
    std::string format;
    char text[2048] = "";
    if (LoadLocalString(GetFerrymailModule(), 20120, format))
        std::snprintf(text, sizeof text, format.c_str(), error.c_str());
    m_host.Notify(static_cast<UINT>((StoreID() << 16) | MN_ERROR), std::string(text));
    m_server.Reset();
    if (m_phase == ESynchPhase::kNone || m_phase == ESynchPhase::kFinished)
        return EInternalOutcome::kDone;
    m_phase = ESynchPhase::kNone;
    m_lastError = error;
    return EInternalOutcome::kSynchFailed;
}

// ---------------------------------------------------------------------------------------
// The steps of a synchronization and of the logout's deletions.

EInternalOutcome CPOP3Synchronizer::NextStep() {
    switch (m_server.code) {
        case EPOP3Command::kStat:
            return m_phase == ESynchPhase::kStat ? AfterStat() : EInternalOutcome::kDone;
        case EPOP3Command::kUidl:
            return m_phase == ESynchPhase::kListing ? AfterListing() : EInternalOutcome::kDone;
        case EPOP3Command::kList:
            if (m_phase == ESynchPhase::kSizes) {
                if (AdvanceWindow())
                    return EInternalOutcome::kWaiting;
                if (!m_windowError.empty())
                    return Fail(std::exchange(m_windowError, std::string()));
                m_phase = ESynchPhase::kChoosing;
            }
            return m_phase == ESynchPhase::kChoosing ? DownloadStep() : EInternalOutcome::kDone;
        case EPOP3Command::kRetr:
        case EPOP3Command::kTop:
            return m_phase == ESynchPhase::kDownloading ? AfterDownload() : EInternalOutcome::kDone;
        case EPOP3Command::kDele: {
            const int next = NextToDelete();
            if (next != 0) {
                ++m_statistics.m_shutdownDeletes;
                SendCommand(EPOP3Command::kDele, next, -1);
                return EInternalOutcome::kWaiting;
            }
            m_statistics.EndShutdownDeletes();
            if (m_recordedCount != -1)
                return EInternalOutcome::kDone;
            // The final state of the mailbox is recorded before the client's QUIT.
            SendCommand(EPOP3Command::kStat, -1, -1);
            return EInternalOutcome::kWaiting;
        }
        default:
            return EInternalOutcome::kDone;
    }
}

EInternalOutcome CPOP3Synchronizer::AfterStat() {
    if (m_synchronized && !m_loginSynch)
        return Finish();
    if (m_synchronized) {
        // Listed all the same: one message gone and another of its size come leave
        // the count and size as they were.
        m_checkListing = true;
        m_listedCount = m_recordedCount;
        m_listedSize = m_recordedSize;
        m_phase = ESynchPhase::kListing;
        SendCommand(EPOP3Command::kUidl, -1, -1);
        return EInternalOutcome::kWaiting;
    }
    m_checkListing = false;
    m_host.NotifyStore(MN_SYNCH_MESSAGE_LIST, 0);
    m_listingPending = true;
    // Until the mailbox is listed and its new mail downloaded, a store saved in the
    // meantime (or left by a crash) must not look in step with it.
    m_listedCount = m_recordedCount;
    m_listedSize = m_recordedSize;
    if (m_store != nullptr && m_listedCount > 0)
        m_store->SetServerStat(-1, -1, nullptr);
    m_phase = ESynchPhase::kListing;
    SendCommand(EPOP3Command::kUidl, -1, -1);
    return EInternalOutcome::kWaiting;
}

void CPOP3Synchronizer::NoteListingLine(const std::string& line) {
    if (!m_listingError.empty())
        return;
    int number = 0;
    std::string rest;
    if (!ParseNumberAndRest(line, number, rest) || rest.empty())
        return;  // not a listing line: passed over, as before
    char text[128];
    if (number < 1 || m_listing.size() >= kMaxListing || rest.size() > kMaxUidl) {
        std::snprintf(text, sizeof text, "-ERR UIDL listing refused at message %d", number);
        m_listingError = text;
        std::vector<std::pair<int, std::string>>().swap(m_listing);
        return;
    }
    m_listing.emplace_back(number, std::move(rest));
}

// A listing that gives a UIDL (or a number) twice would pair one message's UIDL with
// another's text for good: it is refused whole, and the store stays as it was.
bool CPOP3Synchronizer::CheckListing() {
    if (m_listingError.empty()) {
        std::vector<std::pair<int, std::string>> byUidl = m_listing;
        std::sort(byUidl.begin(), byUidl.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
        for (size_t i = 1; i < byUidl.size() && m_listingError.empty(); ++i)
            if (byUidl[i].second == byUidl[i - 1].second)
                m_listingError = "-ERR UIDL listing refused: UIDL " + byUidl[i].second +
                                 " given to messages " + std::to_string(byUidl[i - 1].first) +
                                 " and " + std::to_string(byUidl[i].first);
        std::vector<int> numbers;
        for (const auto& entry : m_listing) numbers.push_back(entry.first);
        std::sort(numbers.begin(), numbers.end());
        if (m_listingError.empty() &&
            std::adjacent_find(numbers.begin(), numbers.end()) != numbers.end())
            m_listingError = "-ERR UIDL listing refused: a message number given twice";
    }
    if (!m_listingError.empty()) {
        m_log.LogFormat(LOG_INFO, "%s", m_listingError.c_str() + 5);
        std::vector<std::pair<int, std::string>>().swap(m_listing);
        return false;
    }
    if (m_store != nullptr)
        m_store->ApplyUidlListing(m_listing);
    std::vector<std::pair<int, std::string>>().swap(m_listing);
    return true;
}

EInternalOutcome CPOP3Synchronizer::AfterListing() {
    m_checkListing = false;
    if (!CheckListing())
        return Fail(std::exchange(m_listingError, std::string()));
    m_statistics.EndListing();
    m_host.NotifyStore(MN_SYNCH_MESSAGE_SIZES, 0);
    int missing = 0, total = 0;
    const int first = m_store != nullptr ? m_store->FindNextUnsized(0, &missing, nullptr) : 0;
    if (m_store != nullptr)
        m_store->FindNext(MS_ANY, 0, &total, nullptr);
    m_statistics.m_synchNew = missing;
    if (first == 0) {
        m_phase = ESynchPhase::kChoosing;
        return DownloadStep();
    }
    if (total > 9 && missing * 4 <= total) {
        // Few sizes are missing: LIST for each of them.
        m_phase = ESynchPhase::kSizes;
        SendWindowCommand(first, true);
        FillWindow();
        return EInternalOutcome::kWaiting;
    }
    m_phase = ESynchPhase::kChoosing;
    SendCommand(EPOP3Command::kList, -1, -1);
    return EInternalOutcome::kWaiting;
}

EInternalOutcome CPOP3Synchronizer::AfterDownload() {
    ++m_statistics.m_filtered;
    if (m_store != nullptr) {
        CFunctionTimer timer(m_statistics.FilterTime());
        // A copy cut short is a partial one whatever was asked. One cut before a line
        // the proxy cannot hold lacks text the filter and the client would see: it is
        // held for the user, not served as it is.
        const int lines = m_downloadCut ? 0 : m_server.Is(EPOP3Command::kRetr) ? -1 : m_topLines;
        m_store->AddDownloadedMessage(m_server.serverNumber.value, m_download, lines,
                                      m_longLine ? kLongLineNote : nullptr);
    }
    // A large download's memory goes back at once.
    std::string().swap(m_download);
    m_downloadCut = false;
    m_longLine = false;
    if (AdvanceWindow())
        return EInternalOutcome::kWaiting;
    if (!m_windowError.empty())
        return Fail(std::exchange(m_windowError, std::string()));
    return Finish();
}

EInternalOutcome CPOP3Synchronizer::DownloadStep() {
    int count = 0;
    const int first = m_store != nullptr ? m_store->FindNext(MS_NEW, 0, &count, nullptr) : 0;
    if (first == 0)
        return Finish();
    m_host.NotifyStore(MN_SYNCH_NEW_COUNT, count);
    m_phase = ESynchPhase::kDownloading;
    SendWindowCommand(first, true);
    FillWindow();
    return EInternalOutcome::kWaiting;
}

EInternalOutcome CPOP3Synchronizer::Finish() {
    if (m_phase == ESynchPhase::kChoosing || m_phase == ESynchPhase::kSizes ||
        m_phase == ESynchPhase::kDownloading) {
        m_listingPending = false;  // listed and downloaded
        if (m_store != nullptr && m_listedCount > 0)
            m_store->SetServerStat(m_listedCount, m_listedSize, nullptr);
    }
    m_phase = ESynchPhase::kFinished;
    m_synchronized = true;
    m_host.NotifyStore(MN_FINISH_SYNCH, 0);
    m_statistics.EndSynch(m_host.ServerBytes());
    return EInternalOutcome::kSynchronized;
}

// ---------------------------------------------------------------------------------------
// The window: during a synchronization the LIST n of few missing sizes and the downloads
// go out with up to m_window commands waiting for their replies, which come in order.

int CPOP3Synchronizer::NextWindowNumber(int after) const {
    if (m_store == nullptr)
        return 0;
    return m_phase == ESynchPhase::kSizes ? m_store->FindNextUnsized(after, nullptr, nullptr)
                                          : m_store->FindNext(MS_NEW, after, nullptr, nullptr);
}

void CPOP3Synchronizer::SendWindowCommand(int number, bool head) {
    m_windowLast = number;
    const int lines = m_topLines;
    const EPOP3Command code = m_phase == ESynchPhase::kSizes ? EPOP3Command::kList
                              : lines < 0                    ? EPOP3Command::kRetr
                                                             : EPOP3Command::kTop;
    const int second = code == EPOP3Command::kTop ? lines : -1;
    if (head) {
        SendCommand(code, number, second);
        return;
    }
    m_ahead.push_back(SPOP3Command::Make(code, number, second));
    m_host.SendServer(m_ahead.back().text);
}

void CPOP3Synchronizer::FillWindow() {
    while (m_windowError.empty() && m_ahead.size() + 1 < m_window && m_host.IsServerOpen()) {
        const int next = NextWindowNumber(m_windowLast);
        if (next == 0)
            break;
        SendWindowCommand(next, false);
    }
}

// Makes the next command of the window the one whose reply comes next, sending more
// while no error has come. False when the window is done.
bool CPOP3Synchronizer::AdvanceWindow() {
    if (!m_ahead.empty()) {
        m_server = std::move(m_ahead.front());
        m_ahead.pop_front();
        m_pending = true;
        m_download.clear();
        m_downloadCut = false;
        m_longLine = false;
        FillWindow();
        return true;
    }
    if (!m_windowError.empty())
        return false;
    const int next = NextWindowNumber(m_windowLast);
    if (next == 0)
        return false;
    SendWindowCommand(next, true);
    FillWindow();
    return true;
}
