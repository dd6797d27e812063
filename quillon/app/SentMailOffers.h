// The addressees of sent mail waiting for the user's answer to "make this a friend?":
// the file "friend-offers.txt" in the data folder (docs/friend-offers.md), one line per
// address. Every operation reads the file, changes it and replaces it whole (temporary
// file, flush, rename) under this object's lock, so the learning thread and the control
// channel's thread of one process may share the object; only the process holding the
// data folder's instance lock uses the file.
#pragma once

#include <string>
#include <vector>

#include "kinbook/foundation/Sync.h"

struct SSentMailOffer {
    std::string address;
    int count = 0;        // messages sent to the address
    std::string subject;  // of the last of them
};

class CSentMailOffers {
public:
    static constexpr const char kFileName[] = "friend-offers.txt";
    // The subject as the question shows it: whole up to kShownSubject bytes, else the
    // first kCutSubject bytes (never ending inside a UTF-8 sequence) and "...".
    static constexpr size_t kShownSubject = 50;
    static constexpr size_t kCutSubject = 47;

    explicit CSentMailOffers(const std::string& folder);
    CSentMailOffers(const CSentMailOffers&) = delete;
    CSentMailOffers& operator=(const CSentMailOffers&) = delete;

    // Files `offers`: an address already offered (case ignored) adds its count and takes
    // the new subject. False with `error` set when the file cannot be read or written;
    // the file is then unchanged.
    bool Add(const std::vector<SSentMailOffer>& offers, std::string& error);
    // The offers in the order they were first made. False with `error` set when the
    // file cannot be read.
    bool List(std::vector<SSentMailOffer>& offers, std::string& error);
    // Drops the offers of `addresses` (case ignored); those without one are listed in
    // `unknown`. False with `error` set when the file cannot be read or written.
    bool Remove(const std::vector<std::string>& addresses, std::vector<std::string>& unknown,
                std::string& error);

    const std::string& GetPath() const { return m_path; }

    static std::string ShownSubject(const std::string& subject);
    // One line of the file without its LF, and back; false for a line that does not read.
    static std::string FormatLine(const SSentMailOffer& offer);
    static bool ParseLine(const std::string& line, SSentMailOffer& offer);

private:
    struct SContents {
        std::vector<SSentMailOffer> offers;
        std::vector<std::string> unreadable;  // kept as they are, written back at the end
    };
    bool Load(SContents& contents, std::string& error);
    bool Save(const SContents& contents, std::string& error);

    std::string m_path;
    CCritical m_lock;  // held through each read-change-write
};
