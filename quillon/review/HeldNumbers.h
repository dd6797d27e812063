// The numbers by which a user names the held messages of one store: each held message
// keeps its number for as long as it stays held, whatever arrives or leaves meanwhile,
// and a number is never given again in that store, so a number from an older listing
// names the same message or none. Kept in the file "<store file>.num" beside the store
// (docs/held-mail.md). Used under the review's lock; the process holds the instance lock,
// so no other process writes the file.
#pragma once

#include <string>
#include <vector>

class CHeldNumbers {
public:
    explicit CHeldNumbers(std::string path) : m_path(std::move(path)) {}

    // The numbers of `held` (UIDLs in list order), parallel to it: a UIDL keeps the number
    // the file gives it, the others get the next unused numbers in order; UIDLs no longer
    // held are dropped. The file is rewritten when anything changed; false with `error`
    // set when that failed (the numbers are still right for this run).
    bool Assign(const std::vector<std::string>& held, std::vector<int>& numbers,
                std::string& error);

    const std::string& GetPath() const { return m_path; }

private:
    std::string m_path;
};
