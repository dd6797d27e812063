// The file side of the friends store: the paths in the user data folder, the stamps of
// the files as last read or written (to notice a replacement by another process), the
// save-failure prompt, and the case-blind hashing of addresses and domains. Guarded by
// CFriend::GetLock().
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "kinbook/foundation/FileOps.h"
#include "kinbook/foundation/Types.h"

// Hash and equality over ASCII case, usable with std::string_view keys.
struct SNoCaseHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const;
};
struct SNoCaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

class CFriendsFiles {
public:
    // Stamps of a data file and its ".re" side file.
    struct SStamps {
        SFileStamp main;
        SFileStamp re;
        bool operator==(const SStamps&) const = default;
    };

    // The data folder + "/" + `name`; empty (and the reason logged once) when there is no
    // data folder: nothing is then read or written at the file-system root.
    static std::string PathOf(const char* name);
    static SStamps StampsOf(const char* mainName, const char* reName);
    // True when a look at the disk is due: at most one every kCheckInterval per store, so
    // that look-ups stay in memory.
    static bool CheckDue(std::chrono::steady_clock::time_point& last);
    // Formats one of Kinbook's texts with the path and the system's error text, shows it
    // through the prompt (or logs it).
    static void ReportSaveFailure(UINT textId, const std::string& path, int error);
    // Lines of `contents` without their CR LF (or LF) ends; calls `each(line, length,
    // lineNumber)`.
    template <typename F>
    static void ForEachLine(const std::string& contents, F each) {
        size_t start = 0;
        int number = 0;
        while (start < contents.size()) {
            size_t end = contents.find('\n', start);
            if (end == std::string::npos)
                end = contents.size();
            size_t length = end - start;
            if (length > 0 && contents[start + length - 1] == '\r')
                --length;
            each(contents.data() + start, static_cast<int>(length), ++number);
            start = end + 1;
        }
    }
    // `text` without a "#" comment and the white space around it.
    static std::string_view ReEntry(std::string_view text);

    static constexpr std::chrono::milliseconds kCheckInterval{20};
};
