// The lists shipped with the program (share/quillon/defaults beside the program's bin
// folder) and their way into the user data folder. Called once at start-up, before the
// filter chain loads its lists.
#pragma once

#include <string>
#include <vector>

// The names of the shipped lists, file names without ".re".
extern const char* const kShippedListNames[7];
// The built-in entries (suffix kind) of the maker-domain list "Brevant" and of "cocodes",
// for when their list files cannot be read.
extern const char* const kMakerDomains[5];
extern const char* const kCountryCodes[3];

// "<program folder>/../share/quillon/defaults".
std::string GetShippedListsFolder();

// For each shipped list in `shippedFolder`: when the data folder's "defaults" lacks it,
// it is copied there, and also to the data folder itself when the user has no such
// list yet; when the defaults copy differs from the shipped file, the shipped file is
// put into "updates", so that the next load merges it into the user's list. Problems
// are appended to `notes`; nothing the user has is overwritten.
void InstallShippedLists(const std::string& shippedFolder, const std::string& dataFolder,
                         std::vector<std::string>& notes);
