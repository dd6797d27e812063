// Messages classified per second by the whole filter chain on one core, over the real
// mail corpora of Debian packages, with every list (key phrases, offensive and
// never-want-to-see words, blacklist, country codes, acceptable links) of 100 and of
// 10,000 entries and every check switched on. The same-run baseline is the decoding
// alone (subject and body of each message, which every classification needs at least
// in part); the figures of the matcher this one replaced are printed beside it. Each
// size also shows what loading its lists costs: the time to compile them and the size
// of their ".dfa" files. The last line holds the ratios: time per message with 10,000
// entries over 100, and the chain with 10,000 entries over the decoding alone.
// Arguments (list sizes, e.g. "FilterBench 10000") run only those sizes, one round
// each: the form to profile under callgrind.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ferrymail/store/Message.h"
#include "filter/BadFilter.h"
#include "filter/DecodedText.h"
#include "filter/DomainList.h"
#include "filter/FilterChain.h"
#include "filter/FriendlyFilter.h"
#include "filter/WordList.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/Registry.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Each corpus message as the proxy hands it to the filter (CRLF line ends).
std::vector<std::string> ReadCorpora() {
    const char* folders[] = {
        "/usr/lib/python3.11/test/test_email/data",
        "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/mail",
        "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/parts",
        "/usr/lib/python3/dist-packages/flufl/bounce/tests/data",
        "/usr/share/doc/spamassassin/examples",
    };
    std::vector<std::string> messages;
    for (const char* folder : folders) {
        std::error_code error;
        for (const auto& item : std::filesystem::directory_iterator(folder, error)) {
            const std::string path = item.path().string();
            std::string raw;
            if (!item.is_regular_file() ||
                (path.find(".txt") == std::string::npos &&
                 path.find(".raw") == std::string::npos) ||
                !ReadWholeFile(path, raw) || raw.empty())
                continue;
            std::string text;
            for (char c : raw) {
                if (c == '\n' && (text.empty() || text.back() != '\r'))
                    text += '\r';
                text += c;
            }
            messages.push_back(std::move(text));
        }
    }
    return messages;
}

FRIENDLY NoFriends(const char*) {
    return FRIENDLY_NONE;
}

std::string Word(std::mt19937& random) {
    const char* syllables[] = {"ka", "lo", "mi",  "ran", "te", "su", "vo", "nel", "pri", "da",
                               "go", "fu", "ble", "st",  "ar", "en", "qu", "ix",  "om",  "ty"};
    std::uniform_int_distribution<int> pick(0, 19);
    std::string word;
    while (word.size() < 6) word += syllables[pick(random)];
    return word;
}

// The figures of the previous matcher (rows over all 128 byte values, four table reads per
// step, one copy of the body per check), measured with this bench on the same machine.
// Medians of three runs: microseconds per message, compile seconds, ".dfa" kilobytes.
// Under callgrind the chain then took 238,000 instructions per message with either size
// (now 156,000), the matchers 145,000 of them (now 62,000).
constexpr double kBeforeMicros[2] = {22.7, 25.9};
constexpr double kBeforeLoadSeconds[2] = {0.002, 0.977};
constexpr double kBeforeDfaKb[2] = {115, 3727};

struct SLoadCost {
    double seconds = 0;
    uintmax_t dfaBytes = 0;
};

// Compiles `list`, adding the time to `cost`, and writes its ".dfa" file to weigh it.
void CompileAndWeigh(CPatternList& list, SLoadCost& cost) {
    const auto start = Clock::now();
    list.Compile();
    cost.seconds += Seconds(start);
    list.SaveCompiled();
    std::error_code error;
    const uintmax_t bytes = std::filesystem::file_size(list.FilePath(".dfa"), error);
    cost.dfaBytes += error ? 0 : bytes;
}

// Every list of `chain` replaced by one of `count` generated entries.
SLoadCost FillLists(CFilterChain& chain, int count) {
    SLoadCost cost;
    std::mt19937 random(7);
    for (FILTER_LIST which : {FL_KEYWORDS, FL_BADWORDS, FL_WORDS}) {
        auto list = std::make_unique<CWordList>(chain.GetList(which)->GetName());
        while (list->GetCount() < count)
            list->Add(Word(random).c_str(), PK_CONTAINS, PF_SEARCH | PF_WHOLE_WORD,
                      PF_SEARCH | PF_WHOLE_WORD);
        CompileAndWeigh(*list, cost);
        chain.ReplaceList(which, std::move(list));
    }
    for (FILTER_LIST which : {FL_DOMAINS, FL_COUNTRY_CODES}) {
        auto list = std::make_unique<CDomainList>(chain.GetList(which)->GetName());
        while (list->GetCount() < count)
            list->Add(std::string("@").append(Word(random)).append(".com").c_str(), PK_SUFFIX,
                      PF_SEARCH, 0);
        CompileAndWeigh(*list, cost);
        chain.ReplaceList(which, std::move(list));
    }
    auto links = std::make_unique<CPatternList>("oklinks");
    while (links->GetCount() < count)
        links->Add(("www." + Word(random) + ".org").c_str(), PK_CONTAINS, PF_SEARCH, 0);
    CompileAndWeigh(*links, cost);
    chain.ReplaceList(FL_OK_LINKS, std::move(links));
    return cost;
}

// Seconds per message, best of `rounds` rounds of classifying every message.
double ChainSeconds(CFilterChain& chain, const std::vector<std::string>& messages, int rounds,
                    int& held) {
    double best = 1e9;
    for (int round = 0; round < rounds; ++round) {
        held = 0;
        const auto start = Clock::now();
        for (const std::string& text : messages) {
            CMessage message;
            message.SetHeader(text, -1);
            message.SetSize(static_cast<int>(text.size()));
            held += chain.Examine(&message) == MS_INBOX ? 0 : 1;
        }
        best = std::min(best, Seconds(start) / static_cast<double>(messages.size()));
    }
    return best;
}

double DecodeSeconds(const std::vector<std::string>& messages, size_t& decoded) {
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        decoded = 0;
        const auto start = Clock::now();
        for (const std::string& text : messages) {
            CMessage message;
            message.SetHeader(text, -1);
            CDecodedText cache;
            decoded += cache.GetDecodedSubject(message).size();
            decoded += cache.GetDecodedBody(message, false, true).size();
        }
        best = std::min(best, Seconds(start) / static_cast<double>(messages.size()));
    }
    return best;
}

// Classifies the corpus with lists of `entries` entries; seconds per message.
double RunSize(const std::vector<std::string>& messages, int entries, int rounds,
               double before) {
    CFilterChain chain(true);
    chain.SetFriendlyLookup(&NoFriends);
    chain.LoadFilters();
    for (int s = CFriendlyFilter::kFromFriendCheck; s <= CFriendlyFilter::kKeyPhraseCheck; ++s)
        chain.GetFriendlyFilter()->SetSetting(s, 1);
    chain.GetBadFilter()->SetSetting(CBadFilter::kLanguageCheck, 1);
    chain.GetBadFilter()->SetSetting(CBadFilter::kNumericLinksCheck, 1);
    const SLoadCost load = FillLists(chain, entries);
    int held = 0;
    const double seconds = ChainSeconds(chain, messages, rounds, held);
    std::printf("lists of %d entries: %.1f us per message (%.0f messages/s), %d held", entries,
                seconds * 1e6, 1 / seconds, held);
    if (before > 0)
        std::printf("; before %.1f us", before);
    std::printf("\n  load: compiling the 7 lists %.3f s, .dfa files %.0f KB\n", load.seconds,
                static_cast<double>(load.dfaBytes) / 1024);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> messages = ReadCorpora();
    if (messages.empty()) {
        std::printf(
            "no corpus found (install the packages named in the Makefile's TEST_PACKAGES)\n");
        return 1;
    }
    const std::filesystem::path home =
        std::filesystem::temp_directory_path() /
        ("quillon-filter-bench-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(home);
    setenv("QUILLON_HOME", home.c_str(), 1);
    RegResetHives();
    ResetUserDataPath();
    std::printf("corpus: %zu messages\n", messages.size());

    size_t decoded = 0;
    const double decode = DecodeSeconds(messages, decoded);
    std::printf("decoding alone: %.1f us per message (%.0f messages/s)\n", decode * 1e6,
                1 / decode);
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) RunSize(messages, std::atoi(argv[i]), 1, 0);
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
        return 0;
    }
    double perMessage[2] = {};
    const int sizes[2] = {100, 10000};
    for (int i = 0; i < 2; ++i) perMessage[i] = RunSize(messages, sizes[i], 3, kBeforeMicros[i]);
    std::printf("before: compiling the lists of 100 / 10,000 entries %.3f / %.3f s, .dfa files "
                "%.0f / %.0f KB\n",
                kBeforeLoadSeconds[0], kBeforeLoadSeconds[1], kBeforeDfaKb[0], kBeforeDfaKb[1]);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    std::printf("ratio 10,000 / 100 entries: %.2f; chain / decoding alone: %.2f\n",
                perMessage[1] / perMessage[0], perMessage[1] / decode);
    return 0;
}
