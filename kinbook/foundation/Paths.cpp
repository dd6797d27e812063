#include "kinbook/foundation/Paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kinbook/foundation/AtomicFile.h"
#include "kinbook/foundation/FoundationLog.h"
#include "kinbook/foundation/Sync.h"

namespace {

CCritical s_userDataLock;
bool s_userDataKnown = false;         // guarded by s_userDataLock
std::string s_userDataPath;           // guarded by s_userDataLock once known

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    passwd entry;
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_dir;
    return {};
}

// $variable when it is an absolute path, else the home folder + `fallback`.
std::string XdgFolder(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/')
        return value;
    std::string home = HomeFolder();
    return home.empty() ? std::string() : home + fallback;
}

std::string QuillonHome() {
    const char* value = std::getenv("QUILLON_HOME");
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

bool MakeFolders(const std::string& path) {
    if (path.empty())
        return false;
    struct stat info;
    if (stat(path.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash)))
        return false;
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST)
        return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    return false;
}

std::string& GetUserDataPath() {
    CLock guard(&s_userDataLock);
    if (s_userDataKnown)
        return s_userDataPath;
    s_userDataKnown = true;
    std::string folder = QuillonHome();
    if (folder.empty()) {
        std::string base = XdgFolder("XDG_DATA_HOME", "/.local/share");
        if (!base.empty())
            folder = base + "/Brevant/Quillon";
    }
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty() || !MakeFolders(folder)) {
        FoundationLog("cannot make the data folder \"%s\": %s", folder.c_str(),
                      folder.empty() ? "no home folder" : std::strerror(errno));
        folder.clear();
    }
    s_userDataPath = folder;
    return s_userDataPath;
}

void ResetUserDataPath() {
    CLock guard(&s_userDataLock);
    s_userDataKnown = false;
    s_userDataPath.clear();
}

std::string GetRegistryFolder() {
    std::string home = QuillonHome();
    std::string folder;
    if (!home.empty()) {
        folder = home + "/registry";
    } else {
        std::string base = XdgFolder("XDG_CONFIG_HOME", "/.config");
        if (!base.empty())
            folder = base + "/Brevant/Quillon";
    }
    if (!folder.empty())
        MakeFolders(folder);
    return folder;
}

int SyncParentFolder(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int result = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return result;
}

int WriteFileAtomically(const std::string& path, const std::string& contents) {
    CAtomicFile file(path);
    int error = file.Create();
    if (error == 0)
        error = file.Write(contents.data(), contents.size());
    if (error == 0)
        error = file.Finish();
    if (error == 0)
        error = file.Commit();
    return error != 0 ? error : file.GetFolderSyncError();
}

int RenameFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int CreateFileIfMissing(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
    contents.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            close(fd);
            return got == 0;
        }
        contents.append(buffer, static_cast<size_t>(got));
    }
}

int RemoveFile(const std::string& path) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT)
        return 0;
    return errno;
}

std::string GetProgramFolder() {
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return {};
    std::string path(buffer, static_cast<size_t>(length));
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}
