// The capabilities of a session: what the real server offers (whether it pipelines)
// and the list the mail client is shown, which holds only what the proxy can carry and
// always PIPELINING, since the proxy queues a pipelining client's commands itself.
#pragma once

#include <string>

class CPOP3Capabilities {
public:
    // The proxy's own list, for a client that asks before the server is known.
    static std::string OwnReply();

    // A new list from the server is coming.
    void Clear() { m_list.clear(); }
    // One line of the server's CAPA reply.
    void Note(const std::string& line);
    // The end of the server's reply to the session's own CAPA (`forClient` false) or to
    // the client's; from then on pipelining is known.
    void End(bool forClient);
    // 1 the server pipelines, 0 it does not, -1 not known yet.
    int Pipelining() const { return m_pipelining; }
    // The list as the client may see it, lines with CR LF, without "+OK" and ".".
    const std::string& List() const { return m_list; }
    // The whole reply to a client's CAPA in the transaction state.
    std::string Reply() const;

private:
    std::string m_list;  // empty: none heard yet
    int m_pipelining = -1;
};
