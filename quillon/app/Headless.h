// The engine of the quillon program without its windows: the one-instance lock, the POP3
// proxy on its port, one reference to the message database and the filter chain that
// examines every downloaded message, from start-up to the orderly shut-down. Owned and
// used by the main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/ControlChannel.h"
#include "app/InstanceLock.h"

class CEngineEvents;
class CFilterChain;
class CHeldMail;
class CListener;
class CMessageDatabase;
class CSentMailLearning;
class CSentMailOffers;
class IReviewCounters;

// The ports under HKEY_CURRENT_USER "Software\Brevant\Quillon\Clients".
inline constexpr int kDefaultProxyPort = 2110;
inline constexpr int kDefaultSMTPProxyPort = 2025;
inline constexpr int kProxyPortFallbacks = 20;
// The SMTP proxy's port is kept this far below the POP3 proxy's (2110 / 2025 mirror the
// standard ports 110 / 25).
inline constexpr int kSMTPPortOffset = 85;

// "ProxyPort", or kDefaultProxyPort when it is missing. A stored value that is not a
// port also gives the default, with a note for the user.
int ReadProxyPort(std::string* note = nullptr);
// "SMTPProxyPort", or kDefaultSMTPProxyPort when it is missing or not a port (with a
// note for the user then).
int ReadSMTPProxyPort(std::string* note = nullptr);
// Writes `port` as "ProxyPort" and `port` - kSMTPPortOffset as "SMTPProxyPort" (when
// that is still a port). False with `error` set when the registry cannot be written.
bool SaveProxyPorts(int port, std::string& error);
// The POP3 proxy on the first of `firstPort` .. `firstPort` + `fallbacks` (never past
// 65535) where it starts; the listener belongs to the caller. Null with `error` set when
// none works.
CListener* StartPOP3Proxy(int firstPort, int fallbacks, std::string& error);

class CHeadlessEngine {
public:
    CHeadlessEngine();
    ~CHeadlessEngine();
    CHeadlessEngine(const CHeadlessEngine&) = delete;
    CHeadlessEngine& operator=(const CHeadlessEngine&) = delete;

    // Takes the data folder's lock, installs the shipped word lists, reads the installation
    // folder, makes the filter chain and loads its filters, takes a reference to the
    // message database with ExamineMessage and the receiver of its notifications (lists
    // and counters are written when a mail client's connection ends), then starts the
    // POP3 proxy, writes the version text to its debug log and opens the control channel
    // with the held-mail and offer commands (a channel that cannot start is a note: the
    // engine runs without it). With "Add addressees to Friends" on, the SMTP proxy starts
    // after the POP3 proxy and writes the version text to its debug log; when it cannot
    // listen it stays off with a note.
    // `fixedPort` -1: "ProxyPort" with its fallback ports, a fallback port being saved;
    // otherwise exactly that port (0: a free one), nothing saved. `smtpPort` -1:
    // "SMTPProxyPort"; otherwise that port (0: a free one). False with `error` set and
    // everything undone when a step fails. Call SIGTERM/SIGINT blocking first: the
    // proxy's threads start here.
    bool Start(int fixedPort, std::string& error, int smtpPort = -1);
    // Closes the control channel, deletes the POP3 listener (ending every session
    // thread), then the SMTP listener, writes the chain's lists and counters,
    // unregisters the chain and the receiver (carrying out what it has queued),
    // drops the database reference and shuts the database down, deletes the chain, then
    // releases the lock. Safe to repeat.
    void Shutdown();

    int GetPOP3Port() const { return m_pop3Port; }
    // 0 while the SMTP proxy is off.
    int GetSMTPPort() const { return m_smtpPort; }
    CListener* GetSMTPListener() const { return m_smtpListener; }
    CSentMailLearning* GetLearning() const { return m_learning.get(); }
    CListener* GetPOP3Listener() const { return m_pop3Listener; }
    CMessageDatabase* GetDatabase() const { return m_database; }
    CFilterChain* GetFilterChain() const { return m_chain.get(); }
    CEngineEvents* GetEvents() const { return m_events.get(); }
    const std::string& GetInstallationDir() const { return m_installationDir; }
    const std::string& GetLockPath() const { return m_lock.GetPath(); }
    const CControlChannel& GetControlChannel() const { return m_control; }
    // Lines for the user about what start-up decided (a fallback port, an unusable
    // setting), in order.
    const std::vector<std::string>& GetNotes() const { return m_notes; }

private:
    bool StartProxy(int fixedPort, std::string& error);
    void StartSMTPListener(int smtpPort);
    void StartControlChannel(const std::string& folder);

    CInstanceLock m_lock;
    std::string m_installationDir;
    CListener* m_pop3Listener = nullptr;     // owned
    CListener* m_smtpListener = nullptr;     // owned; null while the SMTP proxy is off
    CMessageDatabase* m_database = nullptr;  // one reference
    std::unique_ptr<CFilterChain> m_chain;
    std::unique_ptr<CSentMailOffers> m_offers;
    std::unique_ptr<CSentMailLearning> m_learning;  // logs to the POP3 listener while it runs
    std::unique_ptr<CEngineEvents> m_events;
    std::unique_ptr<IReviewCounters> m_counters;
    std::unique_ptr<CHeldMail> m_review;  // the held-mail commands' review
    CControlChannel m_control;            // its handlers use m_review
    int m_pop3Port = 0;
    int m_smtpPort = 0;
    std::vector<std::string> m_notes;
};
