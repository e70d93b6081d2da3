#include "platform/temp_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

namespace kvt {
namespace {

std::mutex folderMutex;
std::string folder;  // with trailing '/'
// Copy for the signal handler, which may not touch std::string.
char folderForSignal[4096];
volatile sig_atomic_t folderReady = 0;

bool IsFolder(const char* path) {
    struct stat st;
    return path != nullptr && path[0] != '\0' && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Removes the files of the (flat) folder and the folder itself. Uses only calls that are
// safe in a signal handler apart from opendir/readdir, which touch no locks of ours.
void RemoveFolder(const char* path) {
    int dirFd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        if (DIR* dir = fdopendir(dirFd)) {
            while (struct dirent* entry = readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
                    continue;
                }
                unlinkat(dirfd(dir), entry->d_name, 0);
            }
            closedir(dir);
        } else {
            close(dirFd);
        }
    }
    rmdir(path);
}

// "korvanta-<pid>-XXXXXX": the pid of the process the folder belongs to, else 0.
pid_t OwnerPid(const char* name) {
    const char* prefix = "korvanta-";
    if (std::strncmp(name, prefix, std::strlen(prefix)) != 0) return 0;
    const char* p = name + std::strlen(prefix);
    long pid = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        pid = pid * 10 + (*p - '0');
        if (pid > 0x7FFFFFFF) return 0;
    }
    if (*p != '-' || std::strlen(p + 1) != 6) return 0;
    return static_cast<pid_t>(pid);
}

// Removes the private folders in parent that processes of this user left when they died
// (killed, crashed): only real folders of our own, never links, and only when no process
// with the folder's pid runs any more.
void RemoveLeftovers(const std::string& parent) {
    int parentFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) return;
    DIR* dir = fdopendir(parentFd);
    if (dir == nullptr) {
        close(parentFd);
        return;
    }
    while (struct dirent* entry = readdir(dir)) {
        pid_t pid = OwnerPid(entry->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        if (kill(pid, 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to ask
        int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
            close(fd);
            continue;
        }
        if (DIR* inner = fdopendir(fd)) {
            while (struct dirent* file = readdir(inner)) {
                if (std::strcmp(file->d_name, ".") != 0 && std::strcmp(file->d_name, "..") != 0) {
                    unlinkat(dirfd(inner), file->d_name, 0);
                }
            }
            closedir(inner);
        } else {
            close(fd);
        }
        unlinkat(dirfd(dir), entry->d_name, AT_REMOVEDIR);
    }
    closedir(dir);
}

void RemoveAtExit() {
    RemovePrivateTempFolder();
}

void OnSignal(int sig) {
    if (folderReady) {
        folderReady = 0;
        RemoveFolder(folderForSignal);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void InstallCleanup() {
    std::atexit(RemoveAtExit);
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        // Only where nobody else handles the signal; a handler of the program's own runs its
        // normal exit, which removes the folder.
        if (old.sa_handler == SIG_DFL) {
            struct sigaction sa {};
            sa.sa_handler = OnSignal;
            sigemptyset(&sa.sa_mask);
            sigaction(sig, &sa, nullptr);
        }
    }
}

}  // namespace

std::string TempFolderParent(const std::string& programFolder) {
    const char* env = std::getenv("TMPDIR");
    if (IsFolder(env)) return env;
#ifdef P_tmpdir
    if (IsFolder(P_tmpdir)) return P_tmpdir;
#endif
    if (IsFolder("/tmp")) return "/tmp";
    return programFolder;
}

const std::string& PrivateTempFolder(const std::string& programFolder) {
    std::lock_guard<std::mutex> lock(folderMutex);
    if (!folder.empty()) return folder;
    std::string parent = TempFolderParent(programFolder);
    for (const std::string& base : {parent, programFolder}) {
        if (base.empty()) continue;
        RemoveLeftovers(base);
        std::string templ = base;
        if (templ.back() != '/') templ += '/';
        templ += "korvanta-" + std::to_string(getpid()) + "-XXXXXX";
        if (mkdtemp(templ.data()) != nullptr) {
            folder = templ + "/";
            break;
        }
    }
    if (!folder.empty() && folder.size() < sizeof folderForSignal) {
        std::memcpy(folderForSignal, folder.c_str(), folder.size() + 1);
        static std::once_flag once;
        std::call_once(once, InstallCleanup);
        folderReady = 1;
    }
    return folder;
}

void RemovePrivateTempFolder() {
    std::lock_guard<std::mutex> lock(folderMutex);
    if (folder.empty()) return;
    folderReady = 0;
    RemoveFolder(folder.c_str());
    folder.clear();
}

}  // namespace kvt
