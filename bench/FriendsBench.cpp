// The friends store at its expected largest: 100,000 friends and 10,000 accepted
// domains. Prints the load and save times of the two files, then IsAddressFriendly
// look-ups per second on one thread over a mix of friends, company addresses and
// strangers, beside a plain std::unordered_map look-up of the same addresses in the same
// run; the ratio is the last line.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "friends/FriendsState.h"
#include "kinbook/friends/EmailDomain.h"
#include "kinbook/friends/Friend.h"
#include "kinbook/friends/Friends.h"
#include "kinbook/foundation/Paths.h"

namespace {

constexpr int kFriends = 100000;
constexpr int kDomains = 10000;
constexpr int kRounds = 10;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string FriendAddress(int i) {
    return "friend" + std::to_string(i) + "@mail" + std::to_string(i % 3000) + ".example.net";
}

std::string Domain(int i) {
    return "corp" + std::to_string(i) + (i % 2 ? ".com" : ".co.uk");
}

void Fill() {
    for (int i = 0; i < kFriends; ++i)
        CFriend::CreateFriendManually(FriendAddress(i).c_str(), nullptr,
                                      i % 100 == 0 ? AS_MAILING_LIST : AS_MANUAL, "a note");
    for (int i = 0; i < kDomains; ++i) {
        CEmailDomain* node = CEmailDomain::GetRoot()->AddAddress(Domain(i), nullptr, 0, 1);
        node->SetState(ES_ACCEPTED);
        node->SetIncludeChildren(i % 4 == 0);
    }
}

// A third friends, a third company addresses, a third strangers.
std::vector<std::string> Probes() {
    std::vector<std::string> probes;
    for (int i = 0; i < 30000; ++i) {
        int n = (i * 7919) % kFriends;
        if (i % 3 == 0)
            probes.push_back(FriendAddress(n));
        else if (i % 3 == 1)
            probes.push_back("someone@" + std::string(n % 4 == 0 ? "dept." : "") +
                             Domain(n % kDomains));
        else
            probes.push_back("stranger" + std::to_string(n) + "@spam" + std::to_string(n) + ".biz");
    }
    return probes;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/quillon-friends-bench-XXXXXX";
    const std::string home = mkdtemp(pattern);
    setenv("QUILLON_HOME", home.c_str(), 1);
    ResetUserDataPath();

    Fill();
    Clock::time_point start = Clock::now();
    if (!SaveAll()) {
        std::fprintf(stderr, "cannot save in %s\n", home.c_str());
        return 1;
    }
    const double saveTime = Seconds(start);
    ResetFriendsState();
    start = Clock::now();
    CFriend::LoadFriends(0, 0);
    CEmailDomain::LoadCompanies();
    const double loadTime = Seconds(start);
    std::printf("%d friends, %d domains: save %.3f s, load %.3f s\n", kFriends, kDomains, saveTime,
                loadTime);

    const std::vector<std::string> probes = Probes();
    std::unordered_map<std::string, int> plain;
    for (int i = 0; i < kFriends; ++i) plain.emplace(FriendAddress(i), i);

    // Each side's best of five runs, taken in turns, so that a busy machine hurts neither.
    long friendly = 0, found = 0;
    double storeTime = 1e9, plainTime = 1e9;
    for (int repeat = 0; repeat < 5; ++repeat) {
        friendly = found = 0;
        start = Clock::now();
        for (int round = 0; round < kRounds; ++round)
            for (const std::string& probe : probes)
                friendly += IsAddressFriendly(probe.c_str()) != 0;
        storeTime = std::min(storeTime, Seconds(start));
        start = Clock::now();
        for (int round = 0; round < kRounds; ++round)
            for (const std::string& probe : probes) found += plain.find(probe) != plain.end();
        plainTime = std::min(plainTime, Seconds(start));
    }
    const double lookups = static_cast<double>(kRounds) * static_cast<double>(probes.size());
    std::printf("IsAddressFriendly: %.0f look-ups/s (%ld friendly)\n", lookups / storeTime,
                friendly);
    std::printf("std::unordered_map: %.0f look-ups/s (%ld found)\n", lookups / plainTime, found);
    std::filesystem::remove_all(home);
    std::printf("ratio IsAddressFriendly / std::unordered_map time: %.2f\n", storeTime / plainTime);
    return 0;
}
