#include "platform/temp_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

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
        std::string templ = base;
        if (templ.back() != '/') templ += '/';
        templ += "korvanta-XXXXXX";
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
