#pragma once
// aria2's RPC port is fixed, and several test runs may share a machine: tests that start aria2c
// hold this machine-wide lock for their whole run (CTest's RUN_SERIAL only orders one run).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tw::test {

class Aria2PortLock {
public:
    Aria2PortLock() : fd_(::open("/tmp/tarnwick-aria2-rpc-58012.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~Aria2PortLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Aria2PortLock(const Aria2PortLock&) = delete;
    Aria2PortLock& operator=(const Aria2PortLock&) = delete;

private:
    int fd_;
};

} // namespace tw::test
