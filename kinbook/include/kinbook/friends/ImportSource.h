// One place an address was learnt: the importer that found it (null for sources read from
// the friends file), a description, the source type and the date. Owned by its friend.
#pragma once

#include <ctime>
#include <string>

#include "kinbook/friends/AddressSource.h"
#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

class CImporter;

class KINBOOK_API CImportSource {
public:
    static constexpr const char* kFileDescription = "Loaded from friends file";

    CImportSource() = default;
    CImportSource(CImporter* importer, const std::string& description, ADDRESS_SOURCE type,
                  time_t date);
    // A date of 0 means now; a null description means kFileDescription.
    CImportSource(ADDRESS_SOURCE type, time_t date, const char* description);
    virtual ~CImportSource();

    // Equal descriptions (exact comparison).
    bool operator==(const CImportSource& other) const {
        return m_description == other.m_description;
    }

    CImporter* GetImporter() const { return m_importer; }
    const std::string& GetDescription() const { return m_description; }
    ADDRESS_SOURCE GetType() const { return m_type; }
    void SetType(ADDRESS_SOURCE type) { m_type = type; }
    time_t GetDate() const { return m_date; }
    // The type's description.
    const char* GetSourceDesc() const;
    // The importer's folder path; empty for AS_ME, AS_ADDRESS_BOOK, AS_UNKNOWN and for a
    // source without importer.
    std::string GetSourceLocation() const;

private:
    CImporter* m_importer = nullptr;
    std::string m_description;
    ADDRESS_SOURCE m_type = AS_UNKNOWN;
    time_t m_date = 0;
};
