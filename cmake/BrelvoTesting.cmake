# GoogleTest comes from Debian's source package, built with the project's own
# compiler so the same suite runs natively, under sanitizers and under wine.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest "${PROJECT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)

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
  if(CMAKE_CROSSCOMPILING)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT
      "WINEDEBUG=-all" "WINEPREFIX=${PROJECT_BINARY_DIR}/wineprefix" "WINEDLLOVERRIDES=mscoree,mshtml="
      # The tracks' machines run the Russian ANSI code page (1251); wine
      # takes it from the locale name even where that locale is not built.
      "LC_ALL=ru_RU.UTF-8")
  endif()
endfunction()
