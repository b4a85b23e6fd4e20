// Placeholder entry until the window lands: reports the version and exits.
#include "base/helpers.h"

#include <cstdio>

int main() {
    std::printf("Tarnwick %s\n", tw::FileVersionText(tw::ProgramFolder() + "launcher").c_str());
    return 0;
}
