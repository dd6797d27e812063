// Matching speed of word lists of 100 and of 10,000 entries over real message text (the
// mail corpora of Debian packages), beside a plain byte scan (std::count of one byte)
// over the same text, and the time to compile 10,000 entries. The last line is the
// ratio of the two list sizes' speeds (an automaton's cost should not grow with the list).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "filter/WordList.h"
#include "kinbook/foundation/Paths.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> ReadCorpora() {
    const char* folders[] = {
        "/usr/lib/python3.11/test/test_email/data",
        "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/mail",
        "/usr/lib/python3/dist-packages/flufl/bounce/tests/data",
        "/usr/share/doc/spamassassin/examples",
    };
    std::vector<std::string> messages;
    for (const char* folder : folders) {
        std::error_code error;
        for (const auto& item : std::filesystem::directory_iterator(folder, error)) {
            const std::string path = item.path().string();
            if (!item.is_regular_file() ||
                (path.find(".txt") == std::string::npos && path.find(".raw") == std::string::npos))
                continue;
            std::string text;
            if (ReadWholeFile(path, text) && !text.empty())
                messages.push_back(std::move(text));
        }
    }
    return messages;
}

// Word-like entries of 5 to 9 letters, whole word only, searched in bodies.
void Fill(CWordList& list, int count, std::mt19937& random) {
    const char* syllables[] = {"ka", "lo", "mi",  "ran", "te", "su", "vo", "nel", "pri", "da",
                               "go", "fu", "ble", "st",  "ar", "en", "qu", "ix",  "om",  "ty"};
    std::uniform_int_distribution<int> pick(0, 19);
    while (list.GetCount() < count) {
        std::string word;
        while (word.size() < 5 + static_cast<size_t>(list.GetCount() % 5))
            word += syllables[pick(random)];
        if (!list.Find(word.c_str(), PK_CONTAINS))
            list.Add(word.c_str(), PK_CONTAINS, 0, PF_SEARCH | PF_WHOLE_WORD);
    }
}

// MB/s of matching every message with `list`, best of three rounds.
double Speed(CWordList& list, const std::vector<std::string>& messages, size_t bytes,
             int& matches) {
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        matches = 0;
        auto start = std::chrono::steady_clock::now();
        for (int repeat = 0; repeat < 5; ++repeat)
            for (const std::string& message : messages)
                matches += list.MatchContent(message.data(), message.size()) ? 1 : 0;
        best = std::min(best, Seconds(start) / 5);
    }
    return bytes / best / 1e6;
}

}  // namespace

int main() {
    const std::vector<std::string> messages = ReadCorpora();
    size_t bytes = 0;
    for (const std::string& message : messages) bytes += message.size();
    if (bytes == 0) {
        std::printf(
            "no corpus found (install the packages named in the Makefile's TEST_PACKAGES)\n");
        return 1;
    }
    std::printf("corpus: %zu messages, %.2f MB\n", messages.size(), bytes / 1e6);

    double scanBest = 1e9;
    size_t lines = 0;
    for (int round = 0; round < 3; ++round) {
        auto start = std::chrono::steady_clock::now();
        for (int repeat = 0; repeat < 5; ++repeat) {
            lines = 0;
            for (const std::string& message : messages)
                lines += static_cast<size_t>(std::count(message.begin(), message.end(), '\n'));
        }
        scanBest = std::min(scanBest, Seconds(start) / 5);
    }
    const double scan = bytes / scanBest / 1e6;
    std::printf("plain byte scan (std::count of '\\n', %zu found): %.0f MB/s\n", lines, scan);

    std::mt19937 random(12);
    CWordList small("bench-small");
    Fill(small, 100, random);
    CWordList large("bench-large");
    Fill(large, 10000, random);
    small.Compile();
    auto start = std::chrono::steady_clock::now();
    large.Compile();
    std::printf("compile 10,000 entries: %.3f s\n", Seconds(start));

    int smallMatches = 0;
    int largeMatches = 0;
    const double smallSpeed = Speed(small, messages, bytes, smallMatches);
    const double largeSpeed = Speed(large, messages, bytes, largeMatches);
    std::printf("100 entries: %.1f MB/s (%d of %zu messages match; plain scan %.1fx faster)\n",
                smallSpeed, smallMatches, messages.size(), scan / smallSpeed);
    std::printf("10,000 entries: %.1f MB/s (%d of %zu messages match; plain scan %.1fx faster)\n",
                largeSpeed, largeMatches, messages.size(), scan / largeSpeed);
    std::printf("ratio 10,000 / 100 entries: %.2f\n", largeSpeed / smallSpeed);
    return 0;
}
