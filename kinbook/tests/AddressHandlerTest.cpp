// Ranks and descriptions of the address sources: the order in which the friends data
// trusts them and the words the user sees for them.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kinbook/mailtext/AddressHandler.h"

namespace {

class AddressHandlerTest : public ::testing::Test {};

TEST_F(AddressHandlerTest, RankAndDescriptionOfEverySource) {
    struct SCase {
        int source;
        int rank;
        const char* desc;
    };
    const SCase kCases[] = {{AS_ME, 0, "Me"},
                            {AS_ADDRESS_BOOK, 3, "Address book"},
                            {AS_SENT_TO, 4, "Sent to"},
                            {AS_CCED_TO, 5, "CCed to"},
                            {AS_RECEIVED_FROM, 6, "Received from"},
                            {AS_RECEIVED_TO, 7, "Received to"},
                            {AS_RECEIVED_CCED_TO, 8, "Received CCed to"},
                            {AS_FROM, 9, "From"},
                            {AS_TO, 10, "To"},
                            {AS_CC, 11, "CC"},
                            {AS_UNKNOWN, 32767, "Unknown"},
                            {AS_MANUAL, 2, "Manual"},
                            {AS_MAILING_LIST, 1, "Mailing list"},
                            {-1, 32767, "Unknown"},
                            {13, 32767, "Unknown"},
                            {100000, 32767, "Unknown"}};
    for (const SCase& c : kCases) {
        ADDRESS_SOURCE source = static_cast<ADDRESS_SOURCE>(c.source);
        EXPECT_EQ(c.rank, CAddressHandler::SortOrder(source)) << "source " << c.source;
        EXPECT_STREQ(c.desc, CAddressHandler::SourceDesc(source)) << "source " << c.source;
    }
}

// A description handed out stays as it is while other threads ask for others.
TEST_F(AddressHandlerTest, DescriptionsAreNotOverwritten) {
    const char* me = CAddressHandler::SourceDesc(AS_ME);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i)
                ASSERT_NE(*CAddressHandler::SourceDesc(static_cast<ADDRESS_SOURCE>((i + t) % 13)),
                          0);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_STREQ("CC", CAddressHandler::SourceDesc(AS_CC));
    EXPECT_STREQ("Me", me);
}

}  // namespace
