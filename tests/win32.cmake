# The tests of the Windows build (included from tests/CMakeLists.txt): the same sources as on
# Linux, without the ones that need a Linux tool or file-system behaviour (the reference service,
# a Linux program, runs through Wine: see net_tests). Left out below:
# tests that make symbolic links (Wine cannot), run shell scripts or Linux programs as the game or
# as processes to end, pick the ANSI code page through LC_ALL (Windows takes it from the system),
# expect '/' as the native separator, or make a read fail by reading a folder (Windows cannot
# open one, and the digest of an unopenable file is the empty one by contract).
tw_add_test(base_tests base/helpers_test.cpp base/md5_test.cpp base/profile_text_test.cpp
    base/parallel_check_test.cpp
    SKIP ReadProfileString.DecodesUtf16AndAnsiFiles
         WriteAnsiLines.WritesTheCodePageWithCrLfAndRefusesReadOnlyFiles
         FileMd5.AFailedReadRaisesAndAShrinkingFileGivesWhatWasRead
         PathParts.SplitAtTheLastSlashBackslashOrColon
         ProgramFolderAndVersion.FolderOfTheRunningExecutableWithTrailingSeparator
         EnsureFolder.CreatesMissingLevelsAndRefusesWhatItCannotPlace
         RemoveFolderTree.RemovesHiddenReadOnlyAndNestedEntriesButNeverLeavesTheTree
         StartProgram.RunsTheFirstTokenResolvedAsWindowsDoesAndCutsLongLines
         EndProcessesNamed.EndsMatchingProcessesWhateverTheCaseAndSparesOthers)
tw_add_test(bridge_tests bridge/dispatch_test.cpp bridge/pagetext_test.cpp bridge/trust_test.cpp)
tw_add_test(game_tests game/game_test.cpp
    SKIP StartGame.WritesBothRealmListsAndStartsTheClientEachTime
         Maintenance.RemovesEachGroupAndNothingElseNotEvenThroughLinks)
# The update worker's sequence and patch step run against the reference service. Skipped: the
# update programs that the tests run are shell scripts; Wine makes no symbolic links. Linux only:
# diskfull_test mounts a small file system.
tw_add_test(update_tests update/downloadInput_test.cpp update/movefiles_test.cpp update/patches_test.cpp
    update/downspy_test.cpp
    SKIP MoveFiles.LinksMoveAsLinks
         WorkerTest.MatchingUpdateIsDownloadedAndStarted
         SignedWorkerTest.SignedAnswersRunTheWholeSequence)

# The client install with the aria2c.exe built from source (scripts/build-win-helpers), which each
# test puts into its program folder. Skipped: a full disk needs a small file system mounted (Linux
# only). Linux only: install_posix_test.cpp (a shell script as the downloader, fork, raw sockets,
# /proc), and nginx_tests (the operator's nginx in front of the service).
tw_add_test(install_tests update/install_test.cpp SERIAL
    SKIP InstallTest.AFullDiskIsSaid)

# The add-on installer with the 7z.dll built from source, likewise in each program folder; Python's
# zipfile (a Linux program, as the service) makes the archives. Linux only: sevenzip_tests and
# archives_test drive 7z.so and the 7z command directly. Skipped: a full disk, as above.
add_library(tarnwick_archive_support STATIC addon/archive_support.cpp)
target_link_libraries(tarnwick_archive_support PUBLIC tarnwick_test_support)
target_include_directories(tarnwick_archive_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/addon)
tw_add_test(addon_tests addon/addonSpy_test.cpp LIBS tarnwick_archive_support
    SKIP AddonWorker.NoRoomForTheUnpackFailsBeforeWriting)
add_executable(addon_install_child addon/addon_install_child.cpp)
target_link_libraries(addon_install_child PRIVATE tarnwick_core)
tw_add_test(addon_kill_tests addon/addon_kill_test.cpp LIBS tarnwick_archive_support)
add_dependencies(addon_kill_tests addon_install_child)
target_compile_definitions(addon_kill_tests PRIVATE ADDON_INSTALL_CHILD_NAME="$<TARGET_FILE_NAME:addon_install_child>")
# The HTTP client, the service protocol and signed answers (the Ed25519 check over BCrypt's
# SHA-512; its OpenSSL comparison is Linux's). The HTTP tests run against the reference service, a
# Linux program that the tests start through Wine (tests/support/reference_service.h). The TLS
# tests stay on Linux: Wine's WinHTTP refuses the tests' own certificate authority, which only the
# system store could vouch for. Skipped: the service's own range answers, checked with curl; a POST
# on a connection of its own: WinHTTP sends it over an idle pooled connection and offers no way to
# open a fresh one short of a new session, which would lose the cookies; the key files' Unix
# permissions and keygen run through a Unix shell.
tw_add_test(net_tests net/http_test.cpp net/service_test.cpp net/ed25519_test.cpp net/signature_test.cpp
    SKIP HttpTest.TheServiceAnswersRangesForResumedDownloads
         HttpTest.APostTakesAConnectionOfItsOwn
         SignedService.KeygenMakesAPairThatSignsEveryAnswer)
tw_add_test(platform_tests platform/process_test.cpp)
# The Windows launcher (src/win): start-up without a WebView2 runtime (Wine has none), the frame
# on a real window, the page bridge against stand-ins of the engine's interfaces made from the
# SDK's own header. Needs a display: scripts/test-win32 runs the tests under Xvfb.
set(_tw_standins ${CMAKE_CURRENT_BINARY_DIR}/generated/webview2_standins.h)
add_custom_command(OUTPUT ${_tw_standins}
    COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/win/make_standins.py ${TARNWICK_WEBVIEW2_DIR}/include/WebView2.h
            ${_tw_standins} ICoreWebView2_4 ICoreWebView2Frame2 ICoreWebView2WebMessageReceivedEventArgs
            ICoreWebView2FrameCreatedEventArgs ICoreWebView2ScriptDialogOpeningEventArgs
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/win/make_standins.py ${TARNWICK_WEBVIEW2_DIR}/include/WebView2.h
    COMMENT "Making stand-ins of the WebView2 interfaces")
tw_add_test(launcher_win_tests win/launcher_win_test.cpp ${_tw_standins} SERIAL LIBS tarnwick_win_shell)
target_include_directories(launcher_win_tests PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
target_compile_options(launcher_win_tests PRIVATE -Wno-unused-parameter)
add_dependencies(launcher_win_tests launcher)
