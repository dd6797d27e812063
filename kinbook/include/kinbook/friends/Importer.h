// An importer: a named place addresses come from (an address book, a mail folder, or
// manual entry), possibly inside a parent importer. Importers live until shut-down;
// sources point at them without owning them.
#pragma once

#include <string>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CImporter {
public:
    CImporter(const std::string& description, CImporter* parent = nullptr);
    virtual ~CImporter();
    CImporter(const CImporter&) = delete;
    CImporter& operator=(const CImporter&) = delete;

    const std::string& GetDescription() const { return m_description; }
    CImporter* GetParent() const { return m_parent; }
    // The descriptions from the top-most parent down to this one, joined by "/".
    std::string GetFolderPath() const;
    // The top-most importer above this one (itself when it has no parent).
    const CImporter* GetRoot() const;

    // Undoes an import: the companies file is read again and the friends list is
    // replaced by the checkpoint "friends.tmp".
    static BOOL RestoreFriends();

private:
    std::string m_description;
    CImporter* m_parent;
};
