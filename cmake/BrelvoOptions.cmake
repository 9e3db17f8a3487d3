# One INTERFACE target carries the language standard, warnings and defines
# for every target of the project.
add_library(brelvo_options INTERFACE)
add_library(brelvo::options ALIAS brelvo_options)
target_compile_features(brelvo_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)

if(MSVC)
  target_compile_options(brelvo_options INTERFACE /W4 /utf-8 $<$<BOOL:${BRELVO_WERROR}>:/WX>)
else()
  target_compile_options(brelvo_options INTERFACE
    -Wall -Wextra -pedantic-errors -Wold-style-cast -Wnon-virtual-dtor
    -Wshadow -Wconversion -Wno-sign-conversion
    $<$<BOOL:${BRELVO_WERROR}>:-Werror>)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 reports std::string copies as overlapping memcpy at -O2/-O3
    # (GCC bug 105651); the warning is noise there, not a finding.
    target_compile_options(brelvo_options INTERFACE -Wno-restrict)
    # GCC 12 at -O2/-O3 also reports the moved-from alternative of a
    # std::variant as maybe uninitialized (GCC bugs 105562, 107138).
    target_compile_options(brelvo_options INTERFACE $<$<NOT:$<CONFIG:Debug>>:-Wno-maybe-uninitialized>)
  endif()
endif()

target_compile_definitions(brelvo_options INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_CONTEXTLESS_CONNECT
  QT_NO_URL_CAST_FROM_STRING QT_USE_QSTRINGBUILDER)

if(WIN32)
  target_compile_definitions(brelvo_options INTERFACE
    WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0601)
endif()

if(BRELVO_SANITIZE)
  target_compile_options(brelvo_options INTERFACE
    -fsanitize=${BRELVO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(brelvo_options INTERFACE -fsanitize=${BRELVO_SANITIZE})
endif()

find_package(Threads REQUIRED)
