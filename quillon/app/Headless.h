// The engine of the quillon program without its windows: the one-instance lock, the POP3
// proxy on its port and one reference to the message database, from start-up to the
// orderly shut-down. Owned and used by the main thread only.
#pragma once

#include <string>
#include <vector>

#include <memory>

#include "app/ControlChannel.h"
#include "app/InstanceLock.h"

class CHeldMail;
class CListener;
class CMessageDatabase;
class IReviewCounters;

// The ports under HKEY_CURRENT_USER "Software\Brevant\Quillon\Clients".
inline constexpr int kDefaultProxyPort = 2110;
inline constexpr int kProxyPortFallbacks = 20;
// The SMTP proxy's port is kept this far below the POP3 proxy's (2110 / 2025 mirror the
// standard ports 110 / 25).
inline constexpr int kSMTPPortOffset = 85;

// "ProxyPort", or kDefaultProxyPort when it is missing. A stored value that is not a
// port also gives the default, with a note for the user.
int ReadProxyPort(std::string* note = nullptr);
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

    // Takes the data folder's lock, reads the installation folder, starts the POP3 proxy,
    // writes the version text to its debug log, takes a reference to the message
    // database (no examine call-back: mail goes to the inbox unexamined) and opens the
    // control channel with the held-mail commands (a channel that cannot start is a note:
    // the engine runs without it).
    // `fixedPort` -1: "ProxyPort" with its fallback ports, a fallback port being saved;
    // otherwise exactly that port (0: a free one), nothing saved. False with `error` set
    // and everything undone when a step fails. Call SIGTERM/SIGINT blocking first: the
    // proxy's threads start here.
    bool Start(int fixedPort, std::string& error);
    // Closes the control channel, deletes the POP3 listener (ending every session
    // thread), drops the database
    // reference and shuts the database down, then releases the lock. Safe to repeat.
    void Shutdown();

    int GetPOP3Port() const { return m_pop3Port; }
    CListener* GetPOP3Listener() const { return m_pop3Listener; }
    CMessageDatabase* GetDatabase() const { return m_database; }
    const std::string& GetInstallationDir() const { return m_installationDir; }
    const std::string& GetLockPath() const { return m_lock.GetPath(); }
    const CControlChannel& GetControlChannel() const { return m_control; }
    // Lines for the user about what start-up decided (a fallback port, an unusable
    // setting), in order.
    const std::vector<std::string>& GetNotes() const { return m_notes; }

private:
    bool StartProxy(int fixedPort, std::string& error);
    void StartControlChannel(const std::string& folder);

    CInstanceLock m_lock;
    std::string m_installationDir;
    CListener* m_pop3Listener = nullptr;     // owned
    CMessageDatabase* m_database = nullptr;  // one reference
    std::unique_ptr<IReviewCounters> m_counters;
    std::unique_ptr<CHeldMail> m_review;  // the held-mail commands' review
    CControlChannel m_control;            // its handlers use m_review
    int m_pop3Port = 0;
    std::vector<std::string> m_notes;
};
