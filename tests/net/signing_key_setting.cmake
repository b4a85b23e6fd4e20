# Run by CTest: the configure step's check of TARNWICK_SIGNING_KEY takes an empty value and a
# raw 32-byte key in base64, and stops on anything else.
cmake_policy(SET CMP0007 NEW)
set(A42 "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA")
foreach(case
        "ok|"
        "ok|${A42}A="
        "ok|${A42}w="
        "stop|not a key"
        "stop|${A42}B="
        "stop|${A42}AA"
        "stop|${A42}A=="
        "stop|${A42}AAA="
        "stop|${A42}-=")
    string(REPLACE "|" ";" parts "${case}")
    list(GET parts 0 expect)
    list(LENGTH parts n)
    set(value "")
    if(n GREATER 1)
        list(GET parts 1 value)
    endif()
    execute_process(
        COMMAND ${CMAKE_COMMAND} "-DTARNWICK_SIGNING_KEY=${value}" -P ${SOURCE_DIR}/cmake/signing_key.cmake
        RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
    if(expect STREQUAL "ok" AND NOT rc EQUAL 0)
        message(FATAL_ERROR "\"${value}\" was refused: ${err}")
    elseif(expect STREQUAL "stop" AND (rc EQUAL 0 OR NOT err MATCHES "TARNWICK_SIGNING_KEY must be"))
        message(FATAL_ERROR "\"${value}\" was taken (or refused without the message): ${err}")
    endif()
endforeach()
