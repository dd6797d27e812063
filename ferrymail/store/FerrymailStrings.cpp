#include "ferrymail/store/FerrymailStrings.h"

#include <iterator>

#include "kinbook/foundation/StringTable.h"

namespace {

const SStringEntry kEntries[] = {
    {20102, "Quillon\nLog\n"},
    {20103, "Pa&use logging"},
    {20104, "Res&ume logging"},
    {20105, "Spoo&l log to..."},
    {20106, "Stop spoo&ling"},
    {20107, "Finding account information"},
    {20108, "Found %s account for %s at %s; Quillon enabled."},
    {20109, "Found %s account for %s at %s; Quillon disabled."},
    {20110, "Couldn't load Quillon database for %s on %s."},
    {20111, "No account information for %s on %s."},
    {20116, "Already synchronized with server for %s on %s"},
    {20118, "Loading proxy settings for %s on %s"},
    {20119, "Deleting marked messages for %s on %s"},
    {20120, "Server error during proxy command: %s"},
    {20121, "Initialize listener socket"},
    {20122, "Bind listener socket"},
    {20123, "Listen"},
    {20124, "Create listener thread"},
    {20125, "Please enter your Quillon password, then click OK."},
    {20126,
     "Please enter your Quillon password, then click OK. If you forgot it, please click \"I "
     "forgot it.\""},
    {20127,
     "Please enter your new password, then click OK. Leave the field blank if you no longer "
     "want a password."},
};

const SStringModule kFerrymailModule = {"ferrymail", kEntries,
                                               static_cast<int>(std::size(kEntries))};

}  // namespace

HINSTANCE GetFerrymailModule() { return &kFerrymailModule; }
