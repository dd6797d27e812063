#include "kinbook/friends/Importer.h"

#include "kinbook/friends/EmailDomain.h"
#include "kinbook/friends/Friend.h"
#include "kinbook/foundation/Sync.h"

CImporter::CImporter(const std::string& description, CImporter* parent)
    : m_description(description), m_parent(parent) {}

CImporter::~CImporter() = default;

std::string CImporter::GetFolderPath() const {
    std::string path = m_description;
    for (const CImporter* above = m_parent; above != nullptr; above = above->m_parent)
        path = above->m_description + "/" + path;
    return path;
}

const CImporter* CImporter::GetRoot() const {
    const CImporter* root = this;
    while (root->m_parent != nullptr) root = root->m_parent;
    return root;
}

BOOL CImporter::RestoreFriends() {
    CLock lock(&CFriend::GetLock());
    CEmailDomain::CloseCompanies();
    return CFriend::LoadFriends(1, 1);
}
