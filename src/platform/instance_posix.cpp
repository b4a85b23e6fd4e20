#include "platform/instance.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace tw::platform {

namespace {

// Markers live in the user's session folder, as a Windows mutex lives in the session's namespace:
// two users, or two sessions with their own runtime folder, never see each other's launcher.
std::string MarkerPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = runtime && *runtime ? runtime : "/tmp";
    if (folder.back() != '/')
        folder += '/';
    return folder + name + ".lock";
}

// Open-file-description locks: not inherited through exec (the descriptor is close-on-exec),
// dropped only when the process's last reference goes, and a write lock turns into a read lock
// atomically. Classic record locks share the last property and are the fallback.
#ifdef F_OFD_SETLK
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLock = F_SETLK;
#endif

bool Lock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    int rc;
    do
        rc = ::fcntl(fd, kSetLock, &lock);
    while (rc < 0 && errno == EINTR);
    return rc == 0;
}

int g_pipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
    int saved = errno;
    char byte = 1;
    // A full pipe already holds a pending request; dropping this one loses nothing.
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

bool HoldNamedMarker(const std::string& name) {
    int fd = ::open(MarkerPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    // Every holder keeps a read lock. Only a process that finds no holder at all gets the write
    // lock, which it then lowers to a read lock without letting go in between.
    if (Lock(fd, F_WRLCK)) {
        Lock(fd, F_RDLCK);
        return false; // the descriptor stays open for the life of the process
    }
    if (!Lock(fd, F_RDLCK)) {
        // A holder is in the middle of lowering its lock; one more try is enough for a marker.
        ::usleep(10'000);
        Lock(fd, F_RDLCK);
    }
    return true;
}

int TerminationRequestDescriptor() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            g_pipe[0] = g_pipe[1] = -1;
            return;
        }
        struct sigaction action {};
        action.sa_handler = OnTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int sig : {SIGTERM, SIGHUP, SIGINT})
            ::sigaction(sig, &action, nullptr);
    });
    return g_pipe[0];
}

} // namespace tw::platform
