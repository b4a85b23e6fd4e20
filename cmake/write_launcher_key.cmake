# cmake -DKEY_FILE=<file with the key text> -DOUT=<header> -P write_launcher_key.cmake
# Writes the launcher's key header from a key that `tarnwick_service keygen` made.
include(${CMAKE_CURRENT_LIST_DIR}/signing_key.cmake)
file(READ "${KEY_FILE}" TARNWICK_SIGNING_KEY)
string(STRIP "${TARNWICK_SIGNING_KEY}" TARNWICK_SIGNING_KEY)
tw_check_signing_key("${TARNWICK_SIGNING_KEY}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/launcher_key.h.in "${OUT}" @ONLY)
