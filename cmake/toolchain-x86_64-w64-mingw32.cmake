# Cross-builds the core and its tests for 64-bit Windows: the same Windows code, for running the
# tests under Wine where the kernel cannot run 32-bit programs (and so no 32-bit Wine).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TW_MINGW_TRIPLET x86_64-w64-mingw32)
set(TW_MINGW_LINK_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Debian keeps the 64-bit loader out of PATH; /usr/bin/wine prefers the 32-bit one.
find_program(TARNWICK_WINE64 wine64 PATHS /usr/lib/wine)
if(TARNWICK_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNWICK_WINE64})
endif()
