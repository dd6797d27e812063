// The replies a filtered session gives from the account's store instead of the server's:
// STAT, LIST and UIDL of the client's view, and RETR and TOP of a message whose text the
// store holds. Each builds the whole reply text; a message deleted from the server in
// this session counts as absent.
#pragma once

#include <string>

#include "proxy/POP3Command.h"

class CMessage;
class CMessageStore;

class CPOP3StoreAnswers {
public:
    // "+OK count size" of the client's view (which it then freezes for the session),
    // or "-ERR Can't get STATs"; one line with its CR LF.
    static std::string Stat(CMessageStore* store);
    // LIST (or UIDL) with or without a message number, whole.
    static std::string List(CMessageStore* store, const SPOP3Command& command, bool uidl);
    // The message of `command`'s client number when the store may answer RETR or TOP
    // with its own copy of it, else null.
    static CMessage* LocalMessage(CMessageStore* store, const SPOP3Command& command);
    // How many body lines TOP asks of `message` when the store's copy has them: -1 for
    // RETR (all of it); -2 when the copy cannot answer.
    static int LocalLines(CMessage* message, const SPOP3Command& command);
    // The reply after its "+OK" line: the header, the notes, `lines` body lines (-1 all)
    // and the final ".".
    static std::string MessageText(CMessage* message, int lines);
    // The analysis notes of the client's message `number` ("" for none).
    static std::string Notes(CMessageStore* store, SClientNumber number);
};
