// The replies a filtered session gives from the account's store instead of the server's:
// STAT, LIST and UIDL of the client's view, and RETR and TOP of a message whose text the
// store holds; which commands of the transaction state go to the server instead, with
// their message numbers as the server's; and the text of relayed replies. Each answer
// builds the whole reply text; a message deleted from the server in this session counts
// as absent.
#pragma once

#include <string>

#include "proxy/POP3Command.h"
#include "proxy/POP3SessionHost.h"

class CLogger;
class CMessage;
class CMessageStore;
class CPOP3Account;
class CPOP3Capabilities;
class CPOP3Statistics;
class CPOP3Synchronizer;

class CPOP3StoreAnswers {
public:
    // `deliverLocal`: RETR and TOP may be answered from the store's own copy.
    CPOP3StoreAnswers(IPOP3SessionHost& host, CLogger& log, CPOP3Synchronizer& sync,
                      CPOP3Statistics& statistics, CPOP3Account& account, bool deliverLocal);

    bool DeliversLocally() const { return m_deliverLocal; }
    // A command of a filtered account's transaction state other than QUIT: true when it
    // was answered here (CAPA from `capabilities`, LIST and UIDL, RETR and TOP from the
    // store's copy, anything unsupported refused) and is over, false when it goes to the
    // server (DELE and RSET make the server's count unknown).
    bool Answer(SPOP3Command& command, const CPOP3Capabilities& capabilities);
    // The message number in the text of a command that takes one, as the server numbers
    // it: a filtered account's client number becomes the server's (-1 when the client's
    // view has no such message); any other account's is kept. A command whose argument
    // starts with no number is left as the client wrote it.
    void TranslateNumber(SPOP3Command& command, bool filtering) const;
    // STAT of the client's view (which it then freezes for the session); a mailbox that
    // was found unchanged says so to the user interface first.
    void Stat(bool alreadySynchronized);
    // LIST or UIDL, with or without a message number.
    void List(const SPOP3Command& command);
    // RETR or TOP: true when answered from the store's copy, false when the command is
    // to be relayed. Every RETR counts as a retrieval.
    bool Retrieve(SPOP3Command& command);
    // The store follows "+OK" to a relayed DELE or RSET.
    void OnReplyOk(const SPOP3Command& command);
    // One data line of a relayed reply (`filtering`: the session's account is): the
    // notes go in as the last lines of a message's header, and the "." of a RETR marks
    // its message delivered.
    void RelayLine(SPOP3Command& command, const std::string& line, bool filtering);
    // The body of a relayed RETR or TOP once its notes are in: whole lines at the front
    // of `data` passed on as they are; how many bytes were.
    size_t RelayBlock(const SPOP3Command& command, const char* data, size_t size);
    // A piece of a server line too long to hold, while `command` is outstanding (or none
    // is and `plainRelay`: every server line goes to the client): passed on when it is in
    // the text of a relayed reply, RETR and TOP above all, since such a line is no reason
    // to cut the message short. False refuses it.
    bool RelayPiece(const SPOP3Command& command, bool plainRelay, const char* data, size_t size,
                    bool first, bool last);

    // The reply texts, whole.
    static std::string StatText(CMessageStore* store);
    static std::string ListText(CMessageStore* store, const SPOP3Command& command, bool uidl);
    // The message of `command`'s client number when the store may answer RETR or TOP
    // with its own copy of it, else null.
    static CMessage* LocalMessage(CMessageStore* store, const SPOP3Command& command);
    // How many body lines TOP asks of `message` when the store's copy has them: -1 for
    // RETR (all of it); -2 when the copy cannot answer.
    static int LocalLines(CMessage* message, const SPOP3Command& command);
    // The reply after its "+OK" line: the header, the notes, `lines` body lines (-1 all)
    // and the final ".".
    static std::string MessageText(CMessage* message, int lines);

private:
    void OnRetrieved(const SPOP3Command& command);
    std::string Notes(const SPOP3Command& command) const;
    void Send(const std::string& text) { m_host.SendClient(text.data(), text.size()); }

    IPOP3SessionHost& m_host;
    CLogger& m_log;
    CPOP3Synchronizer& m_sync;
    CPOP3Statistics& m_statistics;
    CPOP3Account& m_account;
    bool m_deliverLocal;
};
