#include "kinbook/StringTable.h"

#include <atomic>
#include <cstdio>
#include <cstring>

// Kinbook's own texts: none yet. A table of SStringEntry goes here once the library
// has messages of its own for the user.
static const SStringModule kKinbookModule = {"kinbook", nullptr, 0};

static std::atomic<HINSTANCE> s_resourceModule{nullptr};
static std::atomic<HINSTANCE> s_mainModule{nullptr};

HINSTANCE GetKinbookModule() {
    return &kKinbookModule;
}

void SetResourceModule(HINSTANCE module) {
    s_resourceModule.store(module);
}

void SetMainModule(HINSTANCE module) {
    s_mainModule.store(module);
}

static const SStringEntry* FindString(HINSTANCE module, UINT id) {
    if (module->entries == nullptr)
        return nullptr;
    for (int i = 0; i < module->count; ++i) {
        if (module->entries[i].id == id)
            return &module->entries[i];
    }
    return nullptr;
}

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
