// One downloaded mail message of an account's store: its text, its identity on the server,
// its location, the filter's notes and lazily parsed header fields. Reference counted; the
// store's map holds one reference. It has no lock: whoever reads or changes it while other
// threads may reach it holds its store's lock (the lazy caches are filled under that lock).
#pragma once

#include <string>
#include <vector>

#include "ferrymail/store/Address.h"
#include "ferrymail/store/MessageOwner.h"
#include "ferrymail/store/MessageStatus.h"
#include "ferrymail/store/ReceivedHop.h"
#include "ferrymail/ferrymail_export.h"

class CStoreFile;
#include "kinbook/foundation/RefCount.h"
#include "kinbook/mailtext/TextMessage.h"
#include "kinbook/foundation/Types.h"

class FERRYMAIL_API CMessage : public CRefCount {
public:
    // Cache and state bits of GetFlags().
    static constexpr DWORD kCachedDate = 0x1;
    static constexpr DWORD kCachedSubject = 0x2;
    static constexpr DWORD kCachedFrom = 0x4;
    static constexpr DWORD kCachedReplyTo = 0x8;
    static constexpr DWORD kCachedReturnPath = 0x10;
    static constexpr DWORD kCachedSender = 0x20;
    static constexpr DWORD kCachedTo = 0x40;
    static constexpr DWORD kCachedCC = 0x80;
    static constexpr DWORD kHasHeader = 0x100;
    static constexpr DWORD kCachedContentType = 0x200;
    static constexpr DWORD kCachedContentTransferEncoding = 0x400;
    static constexpr DWORD kParsedHops = 0x800;
    // The bits a store file keeps; the others are cleared in the written value.
    static constexpr DWORD kPersistedFlags = 0x1FF;

    // Location 1 (new), verified, every other number 0, no store.
    CMessage();
    // As above with the UIDL and the identifier of `store` (may be null: no store).
    CMessage(const std::string& uidl, IMessageOwner* store);
    ~CMessage() override;

    // Identity and state.
    std::string GetUIDL() const { return m_uidl; }
    int GetMessageNumber() const { return m_number; }
    void SetMessageNumber(int number) { m_number = number; }
    int GetStoreID() const { return m_storeID; }
    void SetStore(int id) { m_storeID = id; }
    // The store of this message's identifier through the installed lookup; null when the
    // identifier is 0, no lookup is installed or the lookup knows no such store.
    IMessageOwner* GetOwner() const;
    // Installed once by the message database; null removes it.
    static void SetOwnerLookup(MessageOwnerLookup lookup);

    MSSTATUS GetLocation() const { return m_location; }
    // When `location` differs from the current one, the owner's ChangeLocation runs first
    // (it keeps the store's visible list and posts the notifications), then the field
    // changes. Without an owner only the field changes.
    void SetLocation(MSSTATUS location);
    int IsVisible() const { return IsVisibleLocation(m_location) ? 1 : 0; }
    int IsDeleted() const { return m_deleted; }
    void SetDeleted(int deleted) { m_deleted = deleted; }
    int IsVerified() const { return m_verified; }
    void Verify() {
        m_verified = 1;
        m_deleted = 0;
    }
    void Unverify() { m_verified = 0; }
    // The mark of the client view the message is in (kept by its store, never saved).
    int GetViewMark() const { return m_viewMark; }
    void SetViewMark(int mark) { m_viewMark = mark; }
    void* GetTag() const { return m_tag; }
    void SetTag(void* tag) { m_tag = tag; }
    void* GetClientData() const { return m_clientData; }
    void SetClientData(void* data) { m_clientData = data; }
    long GetDownloadedDate() const { return m_downloaded; }
    void SetDownloadedDate(long date) { m_downloaded = date; }
    DWORD GetFlags() const { return m_flags; }

    // Text.
    int HasHeader() const { return (m_flags & kHasHeader) ? 1 : 0; }
    std::string GetHeader() const { return m_header; }
    std::string GetBody() const { return m_body; }
    // 0: no body kept; n > 0: the body holds the first n lines; -1: the body is complete.
    int GetBodyLines() const { return m_bodyLines; }
    int GetSizeInStore() const { return m_size; }
    void SetSize(int size) { m_size = size; }
    // The size the mail client is told: the size on the server plus the length of the
    // analysis notes that are inserted into the header it is sent.
    int GetSize() const { return m_size + static_cast<int>(m_notes.size()); }

    // Stores text downloaded with RETR (topLines -1) or TOP n (topLines n). With a blank
    // line (CRLF CRLF) after the first byte the header is the text up to and including
    // the CRLF of its last line and the body the text after the blank line; the body
    // holds its first n lines only when it has at least n CRLF pairs, else it is complete
    // (-1). Without a blank line the whole text is the header and the body is left as it
    // was. Marks the header present, drops every header-derived cache, sets the
    // downloaded date to now. Returns 1.
    int SetHeader(const std::string& text, int topLines);

    // The message's record in a store file (docs/store-format.md); 1 on success. Load
    // returns 0 when the record cannot be read in full, and leaves the message unchanged.
    int Write(CStoreFile& file);
    int Load(CStoreFile& file);
    // The status part of the record: UIDL, numbers, location, tag, dates, flags.
    int WriteMessageStatus(CStoreFile& file);
    int LoadMessageStatus(CStoreFile& file);

    // Appends the note line "X-<name>: <value>" CRLF.
    void AddQLNote(const char* name, const char* value);
    std::string GetQLNotes() const { return m_notes; }

    // Header-derived values, parsed on first use and cached. Without a header they are
    // empty (0) and nothing is cached. An address getter caches only when the header
    // gave at least one address; the pointers point into the message and are never null.
    long GetDate();
    std::string GetSubject();
    std::string GetContentType();
    std::string GetContentTransferEncoding();
    SAddress* GetFrom();     // the last address of From
    SAddress* GetReplyTo();  // the last address of Reply-To
    SAddress* GetReturnPath();
    SAddress* GetSender();
    std::vector<SAddress>* GetTo();
    std::vector<SAddress>* GetCC();

    // The date of the topmost Received header (first nonzero: when the mail reached the
    // last server) or of the bottom-most one (first 0: the first hop); 0 when there is
    // none or its date cannot be read.
    long GetReceivedDate(int first);
    // One hop per Received header, topmost first.
    const std::vector<SReceivedHop>* GetReceivedHops();

protected:
    // 0 without header text; otherwise scans the header once and returns 1.
    int TextMessageInit();
    // Parses one Received value ("from A by B with C id D for E; date") into a hop and
    // appends it.
    void ParseReceived(const std::string& value);
    // Position of the first occurrence of `word` at or after `start` (negative: 0) that
    // begins the text or follows a white-space byte and ends before the end of the text;
    // -1 when there is none.
    static int FindString(const std::string& text, const char* word, int start);

private:
    void ParseHops();

    std::string m_uidl;
    int m_storeID = 0;
    DWORD m_flags = 0;
    int m_deleted = 0;
    MSSTATUS m_location = MS_NEW;
    void* m_tag = nullptr;
    long m_downloaded = 0;
    std::string m_header;  // ends with the CRLF of its last line
    std::string m_body;
    std::string m_notes;  // note lines, each ending with CRLF
    int m_number = 0;
    int m_bodyLines = 0;
    int m_size = 0;
    int m_verified = 1;
    int m_viewMark = 0;
    CTextMessage m_textMessage;
    long m_date = 0;
    std::string m_subject;
    std::string m_contentType;
    std::string m_contentTransferEncoding;
    SAddress m_from;
    SAddress m_replyTo;
    SAddress m_returnPath;
    SAddress m_sender;
    void* m_clientData = nullptr;
    std::vector<SAddress> m_to;
    std::vector<SAddress> m_cc;
    std::vector<SReceivedHop> m_hops;  // topmost first
};
