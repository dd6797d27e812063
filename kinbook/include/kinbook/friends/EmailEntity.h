// The common part of friends and domains: state bits, hit count, last contact and note,
// and the readers of the quoted fields of the friends and companies files. Entities
// belong to the friends store; every use holds the store lock (CFriend::GetLock()).
#pragma once

#include <ctime>
#include <string>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

// The answer to whether an address is friendly.
enum FRIENDLY : int {
    FRIENDLY_NONE = 0,
    FRIENDLY_ME = 1,  // one of the user's own addresses
    FRIENDLY_FRIEND = 2,
    FRIENDLY_COMPANY = 3,  // matched through an accepted domain
    FRIENDLY_MAILING_LIST = 4,
};

// Entity state bits: any of the two low bits means accepted (the value set is 1).
constexpr int ES_ACCEPTED = 1;
constexpr int ES_ACCEPTED_MASK = 3;
constexpr int ES_IMPLICIT = 4;  // a friend that lies under an accepted domain
constexpr int ES_DELETED = 8;   // kept and saved as a tombstone

class CEmailDomain;

// Called when an entity shown in a control changes state (the control refreshes it).
using EntityUpdateCallback = void (*)(void* control, void* item);

class KINBOOK_API CEmailEntity {
public:
    CEmailEntity() = default;
    virtual ~CEmailEntity();
    CEmailEntity(const CEmailEntity&) = delete;
    CEmailEntity& operator=(const CEmailEntity&) = delete;

    virtual BOOL OKToDelete() = 0;
    virtual BOOL IsDomain() const = 0;
    virtual std::string GetName() const = 0;
    virtual std::string GetAddress() const = 0;
    virtual CEmailDomain* GetContainer() const = 0;
    virtual void SetState(int state) = 0;
    virtual int GetCount() const { return m_hitCount; }
    virtual std::string GetCountString() const;
    // The last contact, 0 when never.
    virtual time_t GetDate() const { return m_date; }
    virtual time_t GetSysDate() const { return m_date; }
    virtual void SetNote(const std::string& note);

    int GetState() const { return m_state; }
    bool IsAccepted() const { return (m_state & ES_ACCEPTED_MASK) != 0; }
    bool IsDeleted() const { return (m_state & ES_DELETED) != 0; }
    BOOL GetSaved() const { return m_saved; }
    int GetHitCount() const { return m_hitCount; }
    void SetHitCount(int count) { m_hitCount = count; }
    // Hit count + 1, last contact now.
    void BumpHitCount();
    // With `oneLine`, each CR and LF reads as a blank.
    std::string GetNote(int oneLine = 0) const;
    bool IsNoteExplicit() const { return m_noteExplicit; }
    // "%d-%b-%Y" of the last contact in local time; empty when never.
    std::string GetDateString() const;
    void AddToTree(void* control, void* item, EntityUpdateCallback update);
    void* GetTree() const { return m_treeItem; }

    // A quoted text field at `p` with `remaining` characters left in the line: `\n`, `\r`
    // and a backslash before any other character are unescaped; one comma after the
    // closing quote is skipped. 0 (cursor unspecified) without an opening or closing
    // quote or with a backslash as the last character.
    static BOOL ParseQuotedString(const char*& p, int& remaining, std::string& out);
    // A quoted signed decimal (leading blanks and a sign accepted) followed directly by
    // the closing quote; one comma after it is skipped.
    static BOOL ParseQuotedInt(const char*& p, int& remaining, int& out);

protected:
    // Calls the tree control's update call-back when the entity is shown.
    void NotifyTree();

    void* m_treeItem = nullptr;
    void* m_treeControl = nullptr;
    EntityUpdateCallback m_treeUpdate = nullptr;
    int m_state = 0;
    BOOL m_saved = FALSE;  // written to or read from its file since the last change
    int m_hitCount = 0;
    time_t m_date = 0;
    std::string m_note;
    bool m_noteExplicit = false;
    // Changed here since the file was last read or written: a change made by another
    // process to the same record does not overwrite it.
    bool m_unsynced = false;

    friend class CFriendsFiles;
};
