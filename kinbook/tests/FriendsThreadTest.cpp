// The friends store shared by the threads that use it in the program: the filter asking,
// SMTP sessions learning addressees, and the user editing and saving. Built with
// ThreadSanitizer by `make test`.
#include <atomic>
#include <chrono>
#include <thread>

#include "FriendsFixture.h"

namespace {

class FriendsThreadTest : public FriendsFixture {};

std::string Address(const char* prefix, int i) {
    return std::string(prefix) + std::to_string(i) + "@site" + std::to_string(i % 50) + ".org";
}

TEST_F(FriendsThreadTest, FilterSmtpAndEditorShareTheStore) {
    CFriendData seed;
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(
            CFriend::CreateFriendManually(Address("seed", i).c_str(), nullptr, AS_MANUAL, nullptr));
    ASSERT_TRUE(SaveAll());
    std::atomic<bool> stop{false};
    std::atomic<long> asked{0}, learnt{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // the filter
        for (int i = 0; !stop; ++i) {
            IsAddressFriendly(Address("seed", i % 200).c_str());
            IsAddressFriendly(Address("x", i % 300).c_str());
            CFriendDataArray* me = nullptr;
            if (i % 100 == 0 && GetMe(&me))
                delete me;
            ++asked;
        }
    });
    for (int session = 0; session < 2; ++session) {
        threads.emplace_back([&, session] {  // SMTP sessions, as the proxy uses the classes
            for (int i = 0; !stop; ++i) {
                std::string address = Address(session == 0 ? "sent" : "cc", i % 500);
                CLock lock(&CFriend::GetLock());
                auto* source = new CImportSource(nullptr, "sent mail", AS_SENT_TO, 0);
                CFriend* f = CFriend::FindByAddress(address.c_str());
                if (f == nullptr)
                    f = CFriend::AddFriend(address.c_str(), source, "Someone", FRN_MAIL);
                else if (!f->AddSource(source, 0))
                    delete source;
                ++learnt;
            }
        });
    }
    threads.emplace_back([&] {  // the user
        CFriendData handle;
        for (int i = 0; !stop; ++i) {
            std::string address = Address("seed", i % 200);
            if (handle.Lookup(address.c_str())) {
                handle.Update(FRD_NAME | FRD_NOTE, nullptr, "Name", AS_MANUAL, "note");
                if (i % 7 == 0)
                    handle.Delete();
            } else {
                handle.Create(address.c_str(), nullptr, AS_MANUAL, nullptr);
            }
            CLock lock(&CFriend::GetLock());
            CEmailDomain* domain = CEmailDomain::GetRoot()->AddAddress(
                "site" + std::to_string(i % 50) + ".org", nullptr, 0, 1);
            domain->RecursiveSetState(i % 2 ? ES_ACCEPTED : 0);
            if (i % 20 == 0)
                SaveAll();
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_GT(asked.load(), 0);
    EXPECT_GT(learnt.load(), 0);
    ASSERT_TRUE(SaveAll());
    Restart();
    for (int i = 0; i < 500 && i < learnt / 2; ++i)
        EXPECT_NE(CFriend::FindByAddress(Address("sent", i).c_str()), nullptr) << i;
}

}  // namespace
