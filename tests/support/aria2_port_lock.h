#pragma once
// aria2's RPC port is fixed, and several test runs may share a machine: tests that start aria2c
// hold this machine-wide lock for their whole run (CTest's RUN_SERIAL only orders one run).
#include "test_support.h"

namespace tw::test {

class Aria2PortLock : public MachineLock {
public:
    Aria2PortLock() : MachineLock("tarnwick-aria2-rpc-58012") {}
};

} // namespace tw::test
