// One node of the domain tree, keyed by the whole domain name ("mail.example.com" under
// "example.com" under "com" under the root). A node owns its child domains, not the
// friends hung under it. The tree is part of the friends store: every use holds
// CFriend::GetLock(); the static functions take it themselves.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kinbook/friends/EmailEntity.h"
#include "kinbook/kinbook_export.h"

class CFListFile;
class CFriend;

class KINBOOK_API CEmailDomain : public CEmailEntity {
public:
    // Children walk; null at the end.
    struct SPosition;
    using POSITION = std::shared_ptr<SPosition>;
    using SelectedCallback = int (*)(CEmailDomain* domain, void* context);

    CEmailDomain(const std::string& name, CEmailDomain* parent);
    ~CEmailDomain() override;

    BOOL OKToDelete() override { return !HasLeaves(); }
    BOOL IsDomain() const override { return TRUE; }
    std::string GetName() const override { return m_name; }
    std::string GetAddress() const override { return m_name; }
    CEmailDomain* GetContainer() const override { return m_parent; }
    void SetState(int state) override { SetState(state, 0); }
    virtual BOOL IsTLD() const;
    // Unless `quiet`, the companies dirty count + 1 and the saved flag cleared.
    virtual void SetState(int state, int quiet);
    void SetNote(const std::string& note) override;

    // The root (empty name), made on first use.
    static CEmailDomain* GetRoot();
    // The child domain under exactly this key (case ignored); friends are not returned.
    CEmailDomain* FindChild(std::string_view key) const;
    POSITION StartChildren() const;
    BOOL EnumChildren(POSITION& position, std::string& key, CEmailEntity*& child,
                      int includeDeleted) const;

    // Finds (or with `create` makes) the node of `text` below this one: an address
    // (`isAddress`) hangs `entry` under its domain and returns that domain; a domain name
    // returns its node. Null when there is none or `text` has no "@" as an address.
    CEmailDomain* AddAddress(std::string text, CFriend* entry, int isAddress, int create);
    static CEmailDomain* FindAddress(const std::string& text, int isAddress);

    void RecursiveSetState(int state);
    void RecheckChildren(int force);
    BOOL HasLeaves() const;
    int EnumSelected(SelectedCallback callback, void* context);
    void DeleteChild(const std::string& key, CEmailEntity* child, int updateTree, int recursive);
    void RemoveChild(const std::string& key, CEmailEntity* child, int updateTree, int recursive);
    // Empties the tree below this node: child domains destroyed, friends let go.
    void Close();
    void ClearTree();
    std::string GetDisplayString() const;
    // Drops a friend that is about to be destroyed from this node's children.
    void ForgetFriend(CFriend* entry);

    void SetCompanyName(const std::string& name);
    const std::string& GetCompanyName() const { return m_companyName; }
    BOOL IncludeChildren() const { return m_includeChildren; }
    void SetIncludeChildren(int include);
    void SetRecheck() { m_recheckChildren = true; }

    static BOOL CompaniesListDirty();
    static int GetDirtyCount();
    static void Shutdown();

    // "companies.csv" (read once per process, and merged again when another process
    // replaced it) and "companies.re"; 0 when there is no data folder or a domain or
    // state field does not read.
    static BOOL LoadCompanies();
    // Writes the tree through a temporary file and an atomic rename, the previous file
    // kept as "companies.csv.bak"; 0 (after the prompt) when it cannot be written.
    static BOOL SaveCompanies();
    static BOOL CloseCompanies();
    // Writes this node's sub-domains, then the node itself (not the root); clears
    // `allAccepted` when this node or anything below it is not accepted.
    void SaveDomain(CFListFile& file, int& allAccepted);
    // A domain name: no blank, "@" or control byte, non-empty labels.
    static bool IsValidDomainName(std::string_view name);

private:
    struct SChildren;
    static BOOL ReadCompaniesFile(const std::string& path, bool fromOutside, bool& recheck);
    static void ReadCompaniesRe(bool& recheck);
    static void MergeIfChangedOnDisk(bool now);
    BOOL ReadLine(const char* line, int length, bool fromOutside, bool& recheck, bool& fatal);
    CEmailEntity* FindEntry(std::string_view key) const;
    void AddEntry(const std::string& key, CEmailEntity* entry);
    CEmailDomain* FindOrRevive(const std::string& key, CFriend* entry, int create);

    std::string m_name;
    std::string m_companyName;
    CEmailDomain* m_parent;
    std::unique_ptr<SChildren> m_children;
    bool m_recheckChildren = false;
    bool m_includeChildren = false;
    bool m_displaySelected = false;

    friend class CFriendsFiles;
};
