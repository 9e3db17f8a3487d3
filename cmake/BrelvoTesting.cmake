# GoogleTest comes from Debian's source package, built with the project's own
# compiler so the same suite runs natively, under sanitizers and under wine.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest "${PROJECT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)

if(CMAKE_CROSSCOMPILING)
  # One private Xvfb display for the whole run of the Windows suite.
  set(BRELVO_WINE_STATE "${PROJECT_BINARY_DIR}/wine-display")
  set(BRELVO_WINE_ENV
    "WINEDEBUG=-all" "WINEPREFIX=${PROJECT_BINARY_DIR}/wineprefix" "WINEDLLOVERRIDES=mscoree,mshtml="
    "BRELVO_WINE_DISPLAY=${BRELVO_WINE_STATE}/display"
    # The tracks' machines run the Russian ANSI code page (1251); wine
    # takes it from the locale name even where that locale is not built.
    "LC_ALL=ru_RU.UTF-8")
  get_filename_component(wine_dir "${BRELVO_WINE}" DIRECTORY)
  find_program(BRELVO_WINESERVER NAMES wineserver64 wineserver PATHS "${wine_dir}" /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  add_test(NAME wine_display_start
    COMMAND "${PROJECT_SOURCE_DIR}/cmake/wine-display.sh" start "${BRELVO_WINE_STATE}" "${BRELVO_WINESERVER}")
  add_test(NAME wine_display_stop
    COMMAND "${PROJECT_SOURCE_DIR}/cmake/wine-display.sh" stop "${BRELVO_WINE_STATE}" "${BRELVO_WINESERVER}")
  set_tests_properties(wine_display_start PROPERTIES FIXTURES_SETUP wine_display ENVIRONMENT "${BRELVO_WINE_ENV}")
  set_tests_properties(wine_display_stop PROPERTIES FIXTURES_CLEANUP wine_display ENVIRONMENT "${BRELVO_WINE_ENV}")
endif()

# brelvo_wine_test(<test>): runs <test> under wine on the run's display.
function(brelvo_wine_test test)
  if(CMAKE_CROSSCOMPILING)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT ${BRELVO_WINE_ENV})
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED wine_display)
  endif()
endfunction()

# brelvo_add_gtest(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>] [TIMEOUT <s>])
# One test executable, registered with CTest as one test. Under the Windows
# cross build CTest runs it through wine (CMAKE_CROSSCOMPILING_EMULATOR).
function(brelvo_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main brelvo_options Threads::Threads)
  target_compile_definitions(${name} PRIVATE BRELVO_FEEDS_DIR="${BRELVO_FEEDS_DIR}")
  # Shared test helpers: "support/....h".
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
  brelvo_wine_test(${name})
endfunction()
