#include "app/Headless.h"

#include <algorithm>

#include "app/EngineEvents.h"
#include "app/FilterCommands.h"
#include "app/HeldCommands.h"
#include "app/OfferCommands.h"
#include "app/SentMailLearning.h"
#include "app/SentMailOffers.h"
#include "ferrymail/proxy/Listener.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/proxy/ProxyStart.h"
#include "filter/FilterChain.h"
#include "filter/ShippedLists.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/RegistryKey.h"
#include "review/HeldMail.h"
#include "review/ChainReviewCounters.h"

namespace {

constexpr const char kClientsKey[] = "Software\\Brevant\\Quillon\\Clients";
constexpr const char kInstallationKey[] = "SOFTWARE\\Brevant\\Quillon";

std::string Endpoint(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

}  // namespace

int ReadProxyPort(std::string* note) {
    CRegistryKey key;
    if (!key.Open(HKEY_CURRENT_USER, kClientsKey, KEY_READ))
        return kDefaultProxyPort;
    DWORD type = 0;
    if (RegQueryValueEx(key, "ProxyPort", &type, nullptr, nullptr) != ERROR_SUCCESS)
        return kDefaultProxyPort;
    int port = 0;
    if (type == REG_DWORD && key.QueryValue("ProxyPort", port, FALSE) && port >= 1 && port <= 65535)
        return port;
    if (note != nullptr)
        *note = "the registry's ProxyPort is not a port number from 1 to 65535; using " +
                std::to_string(kDefaultProxyPort);
    return kDefaultProxyPort;
}

int ReadSMTPProxyPort(std::string* note) {
    CRegistryKey key;
    if (!key.Open(HKEY_CURRENT_USER, kClientsKey, KEY_READ))
        return kDefaultSMTPProxyPort;
    DWORD type = 0;
    if (RegQueryValueEx(key, "SMTPProxyPort", &type, nullptr, nullptr) != ERROR_SUCCESS)
        return kDefaultSMTPProxyPort;
    int port = 0;
    if (type == REG_DWORD && key.QueryValue("SMTPProxyPort", port, FALSE) && port >= 1 &&
        port <= 65535)
        return port;
    if (note != nullptr)
        *note = "the registry's SMTPProxyPort is not a port number from 1 to 65535; using " +
                std::to_string(kDefaultSMTPProxyPort);
    return kDefaultSMTPProxyPort;
}

bool SaveProxyPorts(int port, std::string& error) {
    CRegistryKey key;
    if (!key.OpenCarefully(HKEY_CURRENT_USER, kClientsKey) || !key.SetValue("ProxyPort", port) ||
        (port - kSMTPPortOffset >= 1 && !key.SetValue("SMTPProxyPort", port - kSMTPPortOffset))) {
        error = "cannot write the proxy ports to HKEY_CURRENT_USER\\" + std::string(kClientsKey) +
                " (registry error " + std::to_string(key.GetLastResult()) + ")";
        return false;
    }
    return true;
}

CListener* StartPOP3Proxy(int firstPort, int fallbacks, std::string& error) {
    const int lastPort = std::min(65535, firstPort + fallbacks);
    std::string lastError;
    for (int port = firstPort; port <= lastPort; ++port) {
        int errorNumber = 0;
        std::string errorText;
        if (CListener* listener = StartFerrymail(port, errorNumber, errorText))
            return listener;
        lastError = errorText;
    }
    error = "the POP3 proxy cannot listen on any port from " + Endpoint(firstPort) + " to " +
            std::to_string(lastPort) + " (" + lastError + ")";
    return nullptr;
}

// The window message number under which the database notifies (the engine's receiver
// does not look at it).
constexpr UINT kNotificationMessage = 1025;

CHeadlessEngine::CHeadlessEngine() = default;

CHeadlessEngine::~CHeadlessEngine() {
    Shutdown();
}

bool CHeadlessEngine::Start(int fixedPort, std::string& error, int smtpPort) {
    Shutdown();
    m_notes.clear();
    const std::string folder = GetUserDataPath();
    if (folder.empty()) {
        error = "the data folder cannot be made (set QUILLON_HOME or XDG_DATA_HOME)";
        return false;
    }
    if (!m_lock.Acquire(folder, error))
        return false;
    InstallShippedLists(GetShippedListsFolder(), folder, m_notes);

    {
        CRegistryKey installation;
        m_installationDir.clear();
        if (installation.Open(HKEY_LOCAL_MACHINE, kInstallationKey, KEY_READ))
            installation.QueryValue("InstallationDir", m_installationDir);
    }

    // The filters are in place before the database hands them a message, and the
    // database examines before the proxy downloads the first one.
    m_chain = std::make_unique<CFilterChain>();
    m_chain->LoadFilters();
    CFilterChain::SetTheChain(m_chain.get());
    m_offers = std::make_unique<CSentMailOffers>(folder);
    m_learning = std::make_unique<CSentMailLearning>(*m_offers);
    m_events = std::make_unique<CEngineEvents>(m_chain.get(), m_learning.get());
    m_database =
        CMessageDatabase::GetMessageDatabase(ExamineMessage, m_events.get(), kNotificationMessage);
    m_database->AddRef();

    if (!StartProxy(fixedPort, error)) {
        Shutdown();
        return false;
    }
    m_pop3Listener->LogDebugData(std::string(QUILLON_VERSION_TEXT));
    CListener* log = m_pop3Listener;
    m_learning->SetLog([log](const std::string& line) { log->LogDebugData(line); });
    if (SLearningPreferences::Read().addAddressees)
        StartSMTPListener(smtpPort);
    StartControlChannel(folder);
    return true;
}

void CHeadlessEngine::StartSMTPListener(int smtpPort) {
    std::string note;
    const int port = smtpPort >= 0 ? smtpPort : ReadSMTPProxyPort(&note);
    if (!note.empty())
        m_notes.push_back(note);
    int errorNumber = 0;
    std::string errorText;
    m_smtpListener = StartSMTPProxy(port, errorNumber, errorText);
    if (m_smtpListener == nullptr) {
        m_notes.push_back("the SMTP proxy cannot listen on " + Endpoint(port) + " (" + errorText +
                          "); sent mail is not learned from in this run");
        return;
    }
    m_smtpPort = m_smtpListener->GetPort();
    m_smtpListener->LogDebugData(std::string(QUILLON_VERSION_TEXT));
}

void CHeadlessEngine::StartControlChannel(const std::string& folder) {
    // Releases and deletions are counted by the chain, which writes them with its own.
    m_counters = std::make_unique<CChainReviewCounters>(*m_chain);
    m_review = std::make_unique<CHeldMail>(m_database, m_counters.get());
    RegisterHeldCommands(m_control, *m_review);
    RegisterFilterCommands(m_control, *m_chain);
    RegisterOfferCommands(m_control, *m_learning, *m_offers);
    std::string error;
    if (!m_control.Start(folder, error))
        m_notes.push_back(error + "; commands such as --release cannot reach this instance");
}

bool CHeadlessEngine::StartProxy(int fixedPort, std::string& error) {
    if (fixedPort >= 0) {
        int errorNumber = 0;
        std::string errorText;
        m_pop3Listener = StartFerrymail(fixedPort, errorNumber, errorText);
        if (m_pop3Listener == nullptr) {
            error =
                "the POP3 proxy cannot listen on " + Endpoint(fixedPort) + " (" + errorText + ")";
            return false;
        }
        m_pop3Port = m_pop3Listener->GetPort();
        return true;
    }

    std::string note;
    const int configured = ReadProxyPort(&note);
    if (!note.empty())
        m_notes.push_back(note);
    m_pop3Listener = StartPOP3Proxy(configured, kProxyPortFallbacks, error);
    if (m_pop3Listener == nullptr)
        return false;
    m_pop3Port = m_pop3Listener->GetPort();
    if (m_pop3Port != configured) {
        std::string saveError;
        if (SaveProxyPorts(m_pop3Port, saveError)) {
            std::string saved = "ProxyPort " + std::to_string(m_pop3Port);
            if (m_pop3Port - kSMTPPortOffset >= 1)
                saved += " and SMTPProxyPort " + std::to_string(m_pop3Port - kSMTPPortOffset);
            m_notes.push_back("port " + std::to_string(configured) + " is taken; using " +
                              std::to_string(m_pop3Port) + " (saved as " + saved + ")");
        } else {
            m_notes.push_back("port " + std::to_string(configured) + " is taken; using " +
                              std::to_string(m_pop3Port) + " for this run only: " + saveError);
        }
    }
    return true;
}

void CHeadlessEngine::Shutdown() {
    m_control.Stop();
    m_review.reset();
    m_counters.reset();
    // The SMTP sessions that end here still write their learning lines, into the POP3
    // listener's log: so that log goes last.
    if (m_smtpListener != nullptr) {
        delete m_smtpListener;
        m_smtpListener = nullptr;
    }
    if (m_learning)
        m_learning->SetLog(nullptr);
    if (m_pop3Listener != nullptr) {
        delete m_pop3Listener;
        m_pop3Listener = nullptr;
    }
    m_smtpPort = 0;
    if (m_database != nullptr) {
        m_database->SetExamineFunction(nullptr);
        m_database->AddNotification(m_events.get(), 0);
    }
    if (m_events) {
        m_events->Stop();
        m_events.reset();
    }
    m_learning.reset();
    m_offers.reset();
    // What the last connections counted is kept, not only what was written when they
    // ended.
    if (m_chain && m_database != nullptr)
        m_chain->ReloadLists();
    CFilterChain::SetTheChain(nullptr);
    m_chain.reset();
    if (m_database != nullptr) {
        CRefCount::DoRelease(m_database);
        m_database = nullptr;
        CMessageDatabase::Shutdown();
    }
    m_pop3Port = 0;
    m_lock.Release();
}
