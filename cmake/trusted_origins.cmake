# The build setting TARNWICK_TRUSTED_ORIGINS: blank-separated "scheme://host[:port]" (http or https).
# A build that checks the service's signatures (a TARNWICK_SIGNING_KEY) trusts no plain-http origin
# but this machine's own loopback: whoever sits on the network between the player and such a server
# writes its pages, and with them could use every native function.
function(tw_check_trusted_origins origins key)
    string(REGEX REPLACE "[ \t\r\n]+" ";" list "${origins}")
    foreach(origin IN LISTS list)
        if(origin STREQUAL "")
            continue()
        endif()
        if(NOT origin MATCHES "^[Hh][Tt][Tt][Pp][Ss]?://([A-Za-z0-9._-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]+)?/?$")
            message(FATAL_ERROR "TARNWICK_TRUSTED_ORIGINS: \"${origin}\" is no origin; write scheme://host[:port] "
                "with http or https, blank-separated")
        endif()
        if(NOT key STREQUAL "" AND origin MATCHES "^[Hh][Tt][Tt][Pp]://"
           AND NOT origin MATCHES "^[Hh][Tt][Tt][Pp]://(127\\.[0-9.]+|\\[(0*:)*0*:0*1\\]|localhost|[A-Za-z0-9.-]+\\.localhost)(:[0-9]+)?/?$")
            message(FATAL_ERROR "TARNWICK_TRUSTED_ORIGINS: \"${origin}\" is plain http, which anyone on the "
                "player's network can speak for; a build with TARNWICK_SIGNING_KEY trusts only https "
                "origins (and http on this machine's loopback address)")
        endif()
    endforeach()
    if(key STREQUAL "")
        message(STATUS "No TARNWICK_SIGNING_KEY: this launcher takes the service's answers unsigned and "
            "trusts whatever home page the network gives it, http included")
    endif()
endfunction()

# Run as a script (cmake -DTARNWICK_TRUSTED_ORIGINS=... -DTARNWICK_SIGNING_KEY=... -P
# trusted_origins.cmake) it checks those values.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    tw_check_trusted_origins("${TARNWICK_TRUSTED_ORIGINS}" "${TARNWICK_SIGNING_KEY}")
endif()
