// Ranks of the address sources: the order in which the friends data trusts them.
#include <gtest/gtest.h>

#include "kinbook/AddressHandler.h"

namespace {

class AddressHandlerTest : public ::testing::Test {};

TEST_F(AddressHandlerTest, SortOrderRanksEverySource) {
    struct SCase {
        int source;
        int rank;
    };
    const SCase kCases[] = {
        {AS_ME, 0},          {AS_MAILING_LIST, 1},  {AS_MANUAL, 2},
        {AS_ADDRESS_BOOK, 3}, {AS_SENT_TO, 4},      {AS_CCED_TO, 5},
        {AS_RECEIVED_FROM, 6}, {AS_RECEIVED_TO, 7}, {AS_RECEIVED_CCED_TO, 8},
        {AS_FROM, 9},        {AS_TO, 10},           {AS_CC, 11},
        {AS_UNKNOWN, 32767}, {-1, 32767},           {13, 32767},
        {100000, 32767},
    };
    for (const SCase& c : kCases)
        EXPECT_EQ(c.rank, CAddressHandler::SortOrder(static_cast<ADDRESS_SOURCE>(c.source)))
            << "source " << c.source;
}

}  // namespace
