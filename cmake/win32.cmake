# The Windows side of the build (cross-built with cmake/toolchain-i686-w64-mingw32.cmake): the core
# and its tests, without the Qt shell. Included from the top CMakeLists.txt.
if(TARNWICK_BUILD_SHELL)
    message(STATUS "Windows build: the Qt shell is not built (TARNWICK_BUILD_SHELL is ignored)")
    set(TARNWICK_BUILD_SHELL OFF CACHE BOOL "Build the Qt launcher executable" FORCE)
endif()

# The WebView2 SDK of the Windows shell, as scripts/setup restores it (build/nuget/, at the version
# cmake/webview2/webview2.proj pins). Only its header and WebView2Loader.dll are used.
file(STRINGS ${CMAKE_SOURCE_DIR}/cmake/webview2/webview2.proj _tw_wv2_line REGEX "<WebView2Version>")
string(REGEX REPLACE ".*<WebView2Version>(.*)</WebView2Version>.*" "\\1" TARNWICK_WEBVIEW2_VERSION "${_tw_wv2_line}")
set(TARNWICK_WEBVIEW2_DIR
    ${CMAKE_SOURCE_DIR}/build/nuget/microsoft.web.webview2/${TARNWICK_WEBVIEW2_VERSION}/build/native
    CACHE PATH "The WebView2 SDK's build/native folder")
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(TARNWICK_WEBVIEW2_LOADER ${TARNWICK_WEBVIEW2_DIR}/x64/WebView2Loader.dll)
else()
    set(TARNWICK_WEBVIEW2_LOADER ${TARNWICK_WEBVIEW2_DIR}/x86/WebView2Loader.dll)
endif()
if(NOT EXISTS ${TARNWICK_WEBVIEW2_DIR}/include/WebView2.h OR NOT EXISTS ${TARNWICK_WEBVIEW2_LOADER})
    message(FATAL_ERROR "WebView2 SDK ${TARNWICK_WEBVIEW2_VERSION} not found in ${TARNWICK_WEBVIEW2_DIR}: "
        "run scripts/setup")
endif()
# WebView2.h includes <EventToken.h>; MinGW-w64 spells it eventtoken.h.
set(TARNWICK_WEBVIEW2_SHIM ${CMAKE_BINARY_DIR}/third_party/webview2-shim)
file(WRITE ${TARNWICK_WEBVIEW2_SHIM}/EventToken.h "#include <eventtoken.h>\n")
add_library(tarnwick_webview2 INTERFACE)
target_include_directories(tarnwick_webview2 SYSTEM INTERFACE ${TARNWICK_WEBVIEW2_SHIM} ${TARNWICK_WEBVIEW2_DIR}/include)

# nlohmann/json from a folder that holds nothing else: the system's CMake package would put all of
# /usr/include on the cross compiler's path.
find_path(TARNWICK_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(_tw_json_dir ${CMAKE_BINARY_DIR}/third_party/json)
file(COPY ${TARNWICK_NLOHMANN_INCLUDE}/nlohmann DESTINATION ${_tw_json_dir})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_tw_json_dir})

# Wide-character Win32 calls by default, Windows 7 and later, no min/max macros.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
