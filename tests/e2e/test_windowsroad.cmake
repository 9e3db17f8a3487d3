# The whole road on the Windows build (see test_windowsroad.sh). The feed
# simulator and the virtual board are native programs, taken from the native
# build in BRELVO_NATIVE_TOOLS_DIR; the test skips with the reason without them.
add_executable(test_windowsroad_probe ${CMAKE_CURRENT_LIST_DIR}/test_windowsroad_probe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/feedreplay.cpp ${CMAKE_CURRENT_LIST_DIR}/feedreplay.h)
target_include_directories(test_windowsroad_probe PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(test_windowsroad_probe PRIVATE brelvo_feed brelvo_exchange brelvo_boardprotocol brelvo_win32face
  comctl32 brelvo_options)

add_test(NAME test_windowsroad
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/test_windowsroad.sh ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${BRELVO_WINE}
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${BRELVO_NATIVE_TOOLS_DIR} ${BRELVO_FEEDS_DIR}/race-gaps.feed)
set_tests_properties(test_windowsroad PROPERTIES TIMEOUT 240 LABELS "e2e;wine" SKIP_RETURN_CODE 77
                     RESOURCE_LOCK brelvo_proxy_wine)
brelvo_wine_test(test_windowsroad)
add_dependencies(test_windowsroad_probe brelvo-proxy scoreboardcontroller brelvo-feed cboardfake)

# "Выход" and a session end (wineboot --end-session) keep the settings and
# every feed byte; see test_programlife.sh.
add_test(NAME test_programlife
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/test_programlife.sh wine ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
          ${BRELVO_FEEDS_DIR}/race-gaps.feed ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${BRELVO_WINE}
          ${BRELVO_NATIVE_TOOLS_DIR})
set_tests_properties(test_programlife PROPERTIES TIMEOUT 240 LABELS "e2e;wine" SKIP_RETURN_CODE 77
                     RESOURCE_LOCK brelvo_proxy_wine)
brelvo_wine_test(test_programlife)
