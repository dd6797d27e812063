// One POP3 command as the proxy handles it: the command table (codes, which take a
// message number, which have a multi-line reply) and the parser that turns a client's
// line into a command whose number, when it has one, is known to be a valid int.
#pragma once

#include <string>

// POP3 command codes (the first word of a line; any unknown word is kNull).
enum class EPOP3Command {
    kApop = 0,
    kConnect = 2,
    kDele = 3,
    kList = 4,
    kNoop = 5,
    kNull = 6,
    kPass = 7,
    kQuit = 8,
    kRetr = 9,
    kRset = 10,
    kStat = 11,
    kTop = 12,
    kUidl = 13,
    kUser = 14,
    kXsender = 15,
    kCapa = 16,
    kAuth = 17,
};

// A message number as the mail client sees it (1..n of the client's view) and as the
// server numbers its mailbox; -1 when there is none. Two types, so that one is never
// passed where the other is meant.
struct SClientNumber {
    int value = -1;
    bool IsSet() const { return value > 0; }
};
struct SServerNumber {
    int value = -1;
    bool IsSet() const { return value > 0; }
};

// A command in flight: the client's last one, or one the session sent itself.
struct SPOP3Command {
    std::string text;      // the line sent to the server
    std::string argument;  // the argument as the client gave it
    EPOP3Command code = EPOP3Command::kNull;
    bool multiLine = false;
    bool simple = true;
    bool replyStarted = false;
    bool replyRelayed = false;
    bool insertNotes = false;   // RETR and TOP: the notes still go into the header
    bool headerPassed = false;  // the notes went out (or had no place to go)
    // The argument began with a decimal number that fits an int (a command that takes
    // a message number only): `number`, and what followed it in `rest`.
    bool hasNumber = false;
    int number = 0;
    std::string rest;
    SClientNumber clientNumber;
    SServerNumber serverNumber;

    void Reset() { *this = SPOP3Command(); }
    bool Outstanding() const { return code != EPOP3Command::kNull; }
    bool Is(EPOP3Command other) const { return code == other; }
    // RETR or TOP: a reply that carries a message.
    bool Retrieves() const { return code == EPOP3Command::kRetr || code == EPOP3Command::kTop; }

    // Pipelining: whether a next command may go to the server while this one's reply is
    // still coming. Not behind QUIT, nor, when filtering, behind a reply that may start
    // the session's own commands or that the store answers (STAT, RSET, CAPA...).
    bool RelaysAhead(bool filtering) const;
    // Whether this command, coming behind another, goes to the server at once: only one
    // whose reply is simply relayed (when filtering, a RETR or TOP the store may answer
    // from its own copy, or one without a valid number, waits its turn).
    bool MayGoAhead(bool filtering, bool deliverLocal) const;

    // The client's line as a command: the first word (case ignored) gives the code, the
    // rest (trimmed) is the argument; `text` is the word and the argument. The number of
    // a command that takes one is parsed but not yet translated.
    static SPOP3Command Parse(const std::string& line);
    // A command the session sends itself: `number` -1 for none, `second` too.
    static SPOP3Command Make(EPOP3Command code, int number, int second = -1);

    // The text of every command word, by code ("" for codes without one).
    static const char* Word(EPOP3Command code);
    // The code of a command word (case ignored), kNull for any other.
    static EPOP3Command Code(const std::string& word);
    static bool TakesNumber(EPOP3Command code);
    // APOP, CONNECT, DELE, NOOP, NULL, PASS, QUIT, RSET, USER.
    static bool IsSimple(EPOP3Command code);

    // The length of the lines of a multi-line reply's body at the front of `data` (whole
    // lines): everything before the "." line that ends the reply, or all of it.
    static size_t BodyLength(const char* data, size_t size);
    // Blanks, tabs, CR and LF cut from both ends.
    static std::string Trim(const std::string& text);
    static bool StartsWith(const std::string& text, const char* prefix);
};
