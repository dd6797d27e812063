#include "kinbook/mailtext/AddressHandler.h"

#include <string>

#include "kinbook/foundation/StringTable.h"

namespace {

constexpr int kSourceCount = AS_MAILING_LIST + 1;

}  // namespace

CAddressHandler::~CAddressHandler() = default;

int CAddressHandler::SortOrder(ADDRESS_SOURCE source) {
    // Indexed by ADDRESS_SOURCE value.
    static const int kRanks[kSourceCount] = {
        0,      // AS_ME
        3,      // AS_ADDRESS_BOOK
        4,      // AS_SENT_TO
        5,      // AS_CCED_TO
        6,      // AS_RECEIVED_FROM
        7,      // AS_RECEIVED_TO
        8,      // AS_RECEIVED_CCED_TO
        9,      // AS_FROM
        10,     // AS_TO
        11,     // AS_CC
        32767,  // AS_UNKNOWN
        2,      // AS_MANUAL
        1,      // AS_MAILING_LIST
    };
    int value = static_cast<int>(source);
    if (value < 0 || value >= kSourceCount)
        return 32767;
    return kRanks[value];
}

const char* CAddressHandler::SourceDesc(ADDRESS_SOURCE source) {
    // String ids indexed by ADDRESS_SOURCE value.
    static const UINT kIds[kSourceCount] = {16, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 17, 18};
    // Read once; every caller shares the same texts and nobody overwrites them.
    static const std::string* const kTexts = [] {
        static std::string texts[kSourceCount];
        for (int i = 0; i < kSourceCount; ++i)
            LoadLocalString(GetKinbookModule(), kIds[i], texts[i]);
        return texts;
    }();
    int value = static_cast<int>(source);
    if (value < 0 || value >= kSourceCount)
        value = AS_UNKNOWN;
    return kTexts[value].c_str();
}
