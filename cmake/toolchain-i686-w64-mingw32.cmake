# Cross-builds the core and its tests for 32-bit Windows, the launcher's own platform.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TW_MINGW_TRIPLET i686-w64-mingw32)
# The whole 4 GiB address space under a 64-bit Windows: large files are mapped in one view.
set(TW_MINGW_LINK_FLAGS "-Wl,--large-address-aware")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Wine's 32-bit loader (Debian's wine32:i386); it needs a kernel that runs 32-bit programs.
find_program(TARNWICK_WINE wine)
if(TARNWICK_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNWICK_WINE})
endif()
