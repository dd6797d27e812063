#include "friends/FriendsFiles.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "kinbook/foundation/FoundationLog.h"
#include "kinbook/friends/Friends.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/StringTable.h"
#include "kinbook/foundation/Sync.h"

namespace {

CCritical s_promptLock;
FriendsErrorPrompt s_prompt;  // guarded by s_promptLock
std::atomic<bool> s_noFolderLogged{false};

constexpr uint64_t kOnes = 0x0101010101010101ull;

// Up to eight bytes of `p` as one word, the missing ones zero.
inline uint64_t Word(const char* p, size_t length) {
    uint64_t word = 0;
    std::memcpy(&word, p, length < 8 ? length : 8);
    return word;
}

// The ASCII capitals of the eight bytes of `word` lowered; other bytes, those of 0x80 and
// above included, stay as they are.
inline uint64_t LowerWord(uint64_t word) {
    uint64_t heptets = word & (0x7f * kOnes);
    uint64_t atLeastA = heptets + (0x80 - 'A') * kOnes;
    uint64_t aboveZ = heptets + (0x80 - 'Z' - 1) * kOnes;
    uint64_t capitals = atLeastA & ~aboveZ & ~word & (0x80 * kOnes);
    return word | (capitals >> 2);
}

}  // namespace

size_t SNoCaseHash::operator()(std::string_view text) const {
    uint64_t hash = text.size() * 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < text.size(); i += 8) {
        hash ^= LowerWord(Word(text.data() + i, text.size() - i));
        hash *= 0xff51afd7ed558ccdull;
        hash ^= hash >> 29;
    }
    return static_cast<size_t>(hash);
}

bool SNoCaseEqual::operator()(std::string_view a, std::string_view b) const {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i += 8) {
        uint64_t x = Word(a.data() + i, a.size() - i), y = Word(b.data() + i, b.size() - i);
        if (x != y && LowerWord(x) != LowerWord(y))
            return false;
    }
    return true;
}

void SetFriendsErrorPrompt(FriendsErrorPrompt prompt) {
    CLock guard(&s_promptLock);
    s_prompt = std::move(prompt);
}

std::string CFriendsFiles::PathOf(const char* name) {
    const std::string& folder = GetUserDataPath();
    if (folder.empty()) {
        if (!s_noFolderLogged.exchange(true))
            FoundationLog(
                "no user data folder: the friends and companies files are not read "
                "or written");
        return {};
    }
    s_noFolderLogged.store(false);
    return folder + "/" + name;
}

CFriendsFiles::SStamps CFriendsFiles::StampsOf(const char* mainName, const char* reName) {
    SStamps stamps;
    std::string main = PathOf(mainName);
    if (main.empty())
        return stamps;
    stamps.main = GetFileStamp(main);
    stamps.re = GetFileStamp(PathOf(reName));
    return stamps;
}

bool CFriendsFiles::CheckDue(std::chrono::steady_clock::time_point& last) {
    auto now = std::chrono::steady_clock::now();
    if (now - last < kCheckInterval)
        return false;
    last = now;
    return true;
}

void CFriendsFiles::ReportSaveFailure(UINT textId, const std::string& path, int error) {
    std::string format, reason;
    LoadLocalString(nullptr, textId, format);
    if (!GetErrorString(static_cast<DWORD>(error), reason))
        reason = error == 0 ? "there is no user data folder" : "error " + std::to_string(error);
    char text[2048];
    std::snprintf(text, sizeof text, format.c_str(), path.c_str(), reason.c_str());
    FriendsErrorPrompt prompt;
    {
        CLock guard(&s_promptLock);
        prompt = s_prompt;
    }
    if (!prompt) {
        FoundationLog("%s", text);
        return;
    }
    prompt(text, false);
}

std::string_view CFriendsFiles::ReEntry(std::string_view text) {
    size_t hash = text.find('#');
    if (hash != std::string_view::npos)
        text = text.substr(0, hash);
    const char* blanks = " \t\r\n\v\f";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}
