# The tests of the Windows build (included from tests/CMakeLists.txt): the same sources as on
# Linux, without the ones that need a Linux tool, service or file-system behaviour.
tw_add_test(base_tests base/helpers_test.cpp base/md5_test.cpp base/profile_text_test.cpp
    base/parallel_check_test.cpp)
tw_add_test(bridge_tests bridge/dispatch_test.cpp bridge/pagetext_test.cpp)
tw_add_test(game_tests game/game_test.cpp)
tw_add_test(update_tests update/downloadInput_test.cpp update/movefiles_test.cpp)
