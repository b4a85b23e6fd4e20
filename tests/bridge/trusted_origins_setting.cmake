# Run by CTest: the configure step's check of TARNWICK_TRUSTED_ORIGINS. Malformed entries stop it
# in every build; plain-http entries stop it in a build with a signing key unless they are this
# machine's loopback.
cmake_policy(SET CMP0007 NEW)
set(KEY "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=")
foreach(case
        "ok|https://cdn.example.net http://10.0.0.5:8080|"
        "ok|https://cdn.example.net https://[::1]:8443|${KEY}"
        "ok|http://127.0.0.9:8080 http://[::1]:81 http://localhost:81|${KEY}"
        "stop|http://10.0.0.5:8080|${KEY}"
        "stop|https://a.example.net HTTP://a.example.net|${KEY}"
        "stop|http://127.0.0.1.evil.net|${KEY}"
        "stop|ftp://a.example.net|"
        "stop|https://a.example.net/path|")
    string(REPLACE "|" ";" parts "${case}")
    list(GET parts 0 expect)
    list(GET parts 1 origins)
    list(GET parts 2 key)
    execute_process(
        COMMAND ${CMAKE_COMMAND} "-DTARNWICK_TRUSTED_ORIGINS=${origins}" "-DTARNWICK_SIGNING_KEY=${key}"
                -P ${SOURCE_DIR}/cmake/trusted_origins.cmake
        RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
    if(expect STREQUAL "ok" AND NOT rc EQUAL 0)
        message(FATAL_ERROR "\"${origins}\" (key \"${key}\") was refused: ${err}")
    elseif(expect STREQUAL "stop" AND (rc EQUAL 0 OR NOT err MATCHES "TARNWICK_TRUSTED_ORIGINS: "))
        message(FATAL_ERROR "\"${origins}\" (key \"${key}\") was taken (or refused without the message): ${err}")
    endif()
endforeach()
