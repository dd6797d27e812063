#include "kinbook/Paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kinbook/FoundationLog.h"

static std::mutex s_userDataMutex;
static bool s_userDataKnown = false;  // guarded by s_userDataMutex
static std::string s_userDataPath;    // guarded by s_userDataMutex once known

static std::string HomeFolder() {
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
static std::string XdgFolder(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/')
        return value;
    std::string home = HomeFolder();
    return home.empty() ? std::string() : home + fallback;
}

static std::string QuillonHome() {
    const char* value = std::getenv("QUILLON_HOME");
    return value != nullptr ? std::string(value) : std::string();
}

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
    std::lock_guard<std::mutex> guard(s_userDataMutex);
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
    std::lock_guard<std::mutex> guard(s_userDataMutex);
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
    static std::atomic<unsigned> counter{0};
    std::string temporary = path + ".tmp-" + std::to_string(getpid()) + "-" +
                            std::to_string(counter.fetch_add(1));
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    const char* data = contents.data();
    size_t left = contents.size();
    int error = 0;
    while (left > 0) {
        ssize_t written = write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
    return SyncParentFolder(path);
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
