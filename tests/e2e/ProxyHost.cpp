// A test-only host for the POP3 proxy: the proxy engine of the quillon program with an
// examine call-back that holds chosen messages, and a command line on stdin that moves
// messages "through the database" between fetches, as the review window would. The
// end-to-end tests run it (test_pop3_proxy.py); it is not installed.
//
//   quillon_proxy_host --pop3-port N [--hold-subject TEXT]...
//
// QUILLON_HOME relocates all state, as for quillon. Port 0 takes a free port. Once the
// proxy listens the host prints "ready PORT"; then it reads one command a line and
// answers each with one line:
//   list           -> "ok [{"store":S,"uidl":U,"location":L,"subject":T},...]" (JSON; each
//                     byte of a UIDL or subject above 0x7E or below 0x20 is written as
//                     \u00XX, so that decoding the strings as Latin-1 gives the bytes)
//   release UIDL   -> "ok" (the message moves to the inbox) or "error ..."
//   delete UIDL    -> "ok" (the message moves to the deleted location: the proxy deletes
//                     it from the server at the client's next QUIT) or "error ..."
//   quit           -> "bye" after an orderly shut-down of the proxy and the database
// End of input is taken as quit.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "ferrymail/proxy/Listener.h"
#include "ferrymail/store/Message.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "ferrymail/proxy/ProxyStart.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

constexpr const char kProxySettingsKey[] = "SOFTWARE\\Brevant\\Quillon\\Settings\\POP3Proxy";
constexpr const char kHeldNote[] = "held for the test";
constexpr const char kPassedNote[] = "passed by the test host";

// The subject markers of the messages to hold; written before the proxy starts and only
// read afterwards (the call-back runs on session threads).
std::vector<std::string> s_holdMarkers;

// Runs with the message's store lock held, examinations serialised by the database.
MSSTATUS ExamineForTest(CMessage* message) {
    const std::string subject = message->GetSubject();
    for (const std::string& marker : s_holdMarkers) {
        if (subject.find(marker) != std::string::npos) {
            message->AddQLNote("Quillon-Analysis", kHeldNote);
            return MS_HOLD;
        }
    }
    message->AddQLNote("Quillon-Analysis", kPassedNote);
    return MS_INBOX;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void Answer(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string ListMessages(CMessageDatabase* database) {
    std::vector<SMessageHandle> handles;
    database->GetContents(handles, MS_ANY);
    std::string out = "ok [";
    bool first = true;
    for (const SMessageHandle& handle : handles) {
        CMessageStore* store = database->GetStore(handle.m_storeID);
        if (store == nullptr)
            continue;
        // The message belongs to its store's lock; a session may drop it meanwhile.
        CStoreLock lock(store, false);
        CMessage* message = database->GetMessage(handle);
        if (message == nullptr)
            continue;
        if (!first)
            out += ",";
        first = false;
        out += "{\"store\":" + std::to_string(handle.m_storeID) +
               ",\"uidl\":" + JsonString(handle.m_uidl) +
               ",\"location\":" + std::to_string(static_cast<int>(message->GetLocation())) +
               ",\"subject\":" + JsonString(message->GetSubject()) + "}";
    }
    return out + "]";
}

// Moves the message of `uidl` (in any store) to `location`.
std::string MoveMessage(CMessageDatabase* database, const std::string& uidl, MSSTATUS location) {
    if (uidl.empty())
        return "error: no UIDL given";
    std::vector<SMessageHandle> handles;
    database->GetContents(handles, MS_ANY);
    int moved = 0;
    for (const SMessageHandle& handle : handles) {
        if (handle.m_uidl != uidl)
            continue;
        CMessageStore* store = database->GetStore(handle.m_storeID);
        if (store == nullptr)
            continue;
        CStoreLock lock(store, false);
        if (CMessage* message = database->GetMessage(handle)) {
            message->SetLocation(location);
            ++moved;
        }
    }
    if (moved == 0)
        return "error: no message " + uidl;
    return "ok";
}

int Usage() {
    std::fprintf(stderr,
                 "usage: quillon_proxy_host --pop3-port N [--hold-subject TEXT]...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int port = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return Usage();
        if (option == "--pop3-port") {
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < 0 || value > 65535)
                return Usage();
            port = static_cast<int>(value);
        } else if (option == "--hold-subject") {
            s_holdMarkers.emplace_back(argv[++i]);
        } else {
            return Usage();
        }
    }
    if (port < 0)
        return Usage();

    {
        // No second listener on port 110 beside the test's own port.
        CRegistryKey settings;
        if (!settings.OpenCarefully(HKEY_CURRENT_USER, kProxySettingsKey) ||
            !settings.SetValue("DirectProxyListener", 0)) {
            std::fprintf(stderr, "cannot write DirectProxyListener (registry error %ld)\n",
                         static_cast<long>(settings.GetLastResult()));
            return 1;
        }
    }

    int errorNumber = 0;
    std::string errorText;
    CListener* listener = StartFerrymail(port, errorNumber, errorText);
    if (listener == nullptr) {
        std::fprintf(stderr, "the POP3 proxy cannot listen on port %d: %s (%d)\n", port,
                     errorText.c_str(), errorNumber);
        return 1;
    }
    CMessageDatabase* database = CMessageDatabase::GetMessageDatabase(ExamineForTest, nullptr, 0);
    database->AddRef();
    Answer("ready " + std::to_string(listener->GetPort()));

    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t blank = line.find(' ');
        const std::string command = line.substr(0, blank);
        const std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (command == "quit")
            break;
        if (command == "list")
            Answer(ListMessages(database));
        else if (command == "release")
            Answer(MoveMessage(database, argument, MS_INBOX));
        else if (command == "delete")
            Answer(MoveMessage(database, argument, MS_DELETED));
        else
            Answer("error: unknown command '" + command + "'");
    }

    delete listener;
    CRefCount::DoRelease(database);
    CMessageDatabase::Shutdown();
    Answer("bye");
    return 0;
}
