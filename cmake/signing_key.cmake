# The build setting TARNWICK_SIGNING_KEY: empty, or the base64 text of a raw 32-byte Ed25519
# public key (44 characters, the last one '='), as `tarnwick_service keygen DIR` prints it.
function(tw_check_signing_key value)
    if(value STREQUAL "")
        return()
    endif()
    string(LENGTH "${value}" length)
    # 32 bytes leave 2 bits of the last character unused; they must be zero.
    if(NOT length EQUAL 44 OR NOT value MATCHES "^[A-Za-z0-9+/]+[AEIMQUYcgkosw048]=$")
        message(FATAL_ERROR
            "TARNWICK_SIGNING_KEY must be empty or the base64 text of a raw 32-byte Ed25519 public key "
            "(44 characters ending in '=', as 'tarnwick_service keygen DIR' prints it); it is \"${value}\".")
    endif()
endfunction()

# Run as a script (cmake -DTARNWICK_SIGNING_KEY=... -P signing_key.cmake) it checks that value.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    tw_check_signing_key("${TARNWICK_SIGNING_KEY}")
endif()
