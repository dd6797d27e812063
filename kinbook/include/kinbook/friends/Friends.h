// What Kinbook offers the other deliverables about friends besides the classes: the
// classification question, the user's own addresses and mailing lists, address checks,
// saving, shut-down, and the hooks through which the program shows Kinbook's dialogs
// and prompts. Any thread may call these.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kinbook/friends/AddressSource.h"
#include "kinbook/friends/EmailEntity.h"
#include "kinbook/friends/FriendData.h"
#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

// Friendliness of `address`; a match counts as a contact (hit count + 1, last contact
// now).
KINBOOK_API FRIENDLY IsAddressFriendly(const char* address);
// New arrays (the caller's) of the user's own addresses and mailing lists.
KINBOOK_API int GetMe(CFriendDataArray** out);
KINBOOK_API int GetMailingLists(CFriendDataArray** out);
// The strict check: a non-empty local part, one "@", a domain of at least two non-empty
// labels, no white space.
KINBOOK_API int ValidateAddress(const char* address);
KINBOOK_API int SaveFriendsFile();
KINBOOK_API int SaveCompaniesFile();
// Saves both files (both are always tried); 1 only when both were saved.
KINBOOK_API int SaveAll();
// Frees the friends data (nothing is saved); runs once.
KINBOOK_API void KinbookShutdown();
KINBOOK_API long ParseDate(const char* text);
// The description of a source ("Unknown" outside the enumeration). The text stays valid
// for the life of the process.
KINBOOK_API const char* AddressSourceDesc(ADDRESS_SOURCE source);
KINBOOK_API int AddressSourceSortOrder(ADDRESS_SOURCE source);

// Kinbook's dialogs, installed by a program with a user interface. Each entry may be null.
struct SFriendsUI {
    // Shows the setup wizard; 1 when the user finished it.
    int (*runWizard)();
    // The "Add friend" and "Add company" dialogs: 1 OK, 2 Cancel.
    int (*invokeAdd)();
    int (*invokeAddCompany)();
    // A new property page (0 friends, 1 companies, 2 mail accounts) owned by the caller.
    void* (*getFriendsPage)(int which);
};
// `ui` must stay valid while installed; null removes it.
KINBOOK_API void SetFriendsUI(const SFriendsUI* ui);
// The setup wizard unless `always` is 0 and "RanWizard" is set; without a user interface
// nothing is shown and nothing is written.
KINBOOK_API void FRRunWizard(int always);
KINBOOK_API int InvokeAddUI();  // 2 (Cancel) without a user interface
KINBOOK_API int InvokeAddCompanyUI();
KINBOOK_API void* GetFriendsPage(int which);  // null without a user interface

// The message box of a friends or companies file that cannot be saved, installed by the
// program: returns 1 for Retry. Without one the text is logged and the answer is Cancel.
using FriendsErrorPrompt = std::function<int(const std::string& text, bool retryCancel)>;
KINBOOK_API void SetFriendsErrorPrompt(FriendsErrorPrompt prompt);
