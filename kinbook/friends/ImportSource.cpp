#include "kinbook/friends/ImportSource.h"

#include "kinbook/mailtext/AddressHandler.h"
#include "kinbook/friends/Importer.h"

CImportSource::CImportSource(CImporter* importer, const std::string& description,
                             ADDRESS_SOURCE type, time_t date)
    : m_importer(importer), m_description(description), m_type(type), m_date(date) {}

CImportSource::CImportSource(ADDRESS_SOURCE type, time_t date, const char* description)
    : m_description(description != nullptr ? description : kFileDescription),
      m_type(type),
      m_date(date != 0 ? date : std::time(nullptr)) {}

CImportSource::~CImportSource() = default;

const char* CImportSource::GetSourceDesc() const {
    return CAddressHandler::SourceDesc(m_type);
}

std::string CImportSource::GetSourceLocation() const {
    if (m_importer == nullptr || m_type == AS_ME || m_type == AS_ADDRESS_BOOK ||
        m_type == AS_UNKNOWN)
        return {};
    return m_importer->GetFolderPath();
}
