# Shared by the MinGW-w64 toolchain files: set TW_MINGW_TRIPLET first. Debian's posix thread model
# compilers (the win32 model lacks std::thread and std::mutex); Wine runs the tests when installed.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TW_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TW_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TW_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TW_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Fully static: no libwinpthread-1.dll or libstdc++ DLL beside the programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static ${TW_MINGW_LINK_FLAGS}")
