#include "kinbook/foundation/StringTable.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// Kinbook's own texts.
const SStringEntry kKinbookEntries[] = {
    // Address sources (ADDRESS_SOURCE).
    {16, "Me"},
    {17, "Manual"},
    {18, "Mailing list"},
    {19, "Address book"},
    {20, "Sent to"},
    {21, "CCed to"},
    {22, "Received from"},
    {23, "Received to"},
    {24, "Received CCed to"},
    {25, "From"},
    {26, "To"},
    {27, "CC"},
    {28, "Unknown"},
    // Friends and companies files and their display forms.
    {33, "Couldn't save companies file '%s':\n%s"},
    {34, "Couldn't save friends file '%s:\n%s"},
    {35, "%s%s%s%s%s"},
    {36, "%d-%b-%Y"},
};

const SStringModule kKinbookModule = {
    "kinbook", kKinbookEntries, static_cast<int>(sizeof kKinbookEntries / sizeof kKinbookEntries[0])};

std::atomic<HINSTANCE> s_resourceModule{nullptr};
std::atomic<HINSTANCE> s_mainModule{nullptr};

}  // namespace

HINSTANCE GetKinbookModule() {
    return &kKinbookModule;
}

void SetResourceModule(HINSTANCE module) {
    s_resourceModule.store(module);
}

void SetMainModule(HINSTANCE module) {
    s_mainModule.store(module);
}

namespace {

const SStringEntry* FindString(HINSTANCE module, UINT id) {
    if (module->entries == nullptr)
        return nullptr;
    for (int i = 0; i < module->count; ++i) {
        if (module->entries[i].id == id)
            return &module->entries[i];
    }
    return nullptr;
}

}  // namespace

BOOL LoadLocalString(HINSTANCE module, UINT id, std::string& text) {
    const HINSTANCE candidates[] = {module, &kKinbookModule, s_resourceModule.load(),
                                    module != nullptr ? s_mainModule.load() : nullptr};
    const int candidateCount = sizeof candidates / sizeof candidates[0];
    for (int i = 0; i < candidateCount; ++i) {
        HINSTANCE candidate = candidates[i];
        bool tried = candidate == nullptr;
        for (int j = 0; j < i && !tried; ++j) tried = candidates[j] == candidate;
        if (tried)
            continue;
        if (const SStringEntry* entry = FindString(candidate, id)) {
            text = entry->text != nullptr ? entry->text : "";
            return TRUE;
        }
    }
    text.clear();
    return FALSE;
}

// strerror_r comes in two forms: the GNU one returns the text, the XSI one fills the
// buffer and returns 0 on success.
[[maybe_unused]] static const char* ErrorText(char* result, const char* /*buffer*/) {
    return result;
}
[[maybe_unused]] static const char* ErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}

BOOL GetErrorString(DWORD code, std::string& text) {
    text.clear();
    if (code == 0)
        return FALSE;
    int error = static_cast<int>(code);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    // Asked by name, so the answer does not depend on the language of the messages.
    if (strerrorname_np(error) == nullptr)
        return FALSE;
#endif
    char buffer[512];
    buffer[0] = '\0';
    const char* message = ErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
    if (message == nullptr || *message == '\0')
        return FALSE;
    // The C library's words for a number it does not know are not a message.
    char unknown[64];
    std::snprintf(unknown, sizeof unknown, "Unknown error %d", error);
    if (std::strcmp(message, unknown) == 0 || std::strcmp(message, "No error information") == 0)
        return FALSE;
    text = message;
    size_t end = text.find_last_not_of(" \t\r\n\v\f");
    text.erase(end == std::string::npos ? 0 : end + 1);
    return !text.empty();
}
