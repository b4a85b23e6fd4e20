# The Windows side of the build (cross-built with cmake/toolchain-i686-w64-mingw32.cmake): the core
# and its tests, without the Qt shell. Included from the top CMakeLists.txt.
if(TARNWICK_BUILD_SHELL)
    message(STATUS "Windows build: the Qt shell is not built (TARNWICK_BUILD_SHELL is ignored)")
    set(TARNWICK_BUILD_SHELL OFF CACHE BOOL "Build the Qt launcher executable" FORCE)
endif()

# What the Windows build cannot do yet: show pages (it has no window), so no origin can be trusted.
if(NOT TARNWICK_TRUSTED_ORIGINS STREQUAL "")
    message(FATAL_ERROR "TARNWICK_TRUSTED_ORIGINS: the Windows build has no window yet; "
        "build without trusted origins")
endif()

# nlohmann/json from a folder that holds nothing else: the system's CMake package would put all of
# /usr/include on the cross compiler's path.
find_path(TARNWICK_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(_tw_json_dir ${CMAKE_BINARY_DIR}/third_party/json)
file(COPY ${TARNWICK_NLOHMANN_INCLUDE}/nlohmann DESTINATION ${_tw_json_dir})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_tw_json_dir})

# Wide-character Win32 calls by default, Windows 7 and later, no min/max macros.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
