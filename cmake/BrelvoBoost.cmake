# Boost.Beast and Boost.Asio, header-only, from Debian's libboost-dev. A cross
# build must not see /usr/include (glibc's headers would shadow mingw's), so
# it gets a folder in the build tree that holds only a link to the boost
# headers.
set(BRELVO_BOOST_HEADERS "/usr/include/boost" CACHE PATH "The Boost headers (Debian: libboost-dev)")
if(NOT EXISTS "${BRELVO_BOOST_HEADERS}/beast.hpp")
  message(FATAL_ERROR "Boost.Beast not found in ${BRELVO_BOOST_HEADERS}: run scripts/setup (libboost-dev)")
endif()
add_library(brelvo_boost INTERFACE)
if(CMAKE_CROSSCOMPILING)
  set(boost_include "${PROJECT_BINARY_DIR}/boost-include")
  file(MAKE_DIRECTORY "${boost_include}")
  file(CREATE_LINK "${BRELVO_BOOST_HEADERS}" "${boost_include}/boost" SYMBOLIC)
  target_include_directories(brelvo_boost SYSTEM INTERFACE "${boost_include}")
else()
  get_filename_component(boost_parent "${BRELVO_BOOST_HEADERS}" DIRECTORY)
  target_include_directories(brelvo_boost SYSTEM INTERFACE "${boost_parent}")
endif()
# Header-only: no Boost library is linked, and asio needs no Boost.System.
target_compile_definitions(brelvo_boost INTERFACE BOOST_ASIO_NO_DEPRECATED)
if(WIN32)
  target_link_libraries(brelvo_boost INTERFACE ws2_32 mswsock)
endif()
if(BRELVO_SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC warns that ThreadSanitizer does not see atomic_thread_fence, which
  # Asio's headers use; the locks Asio hands work over with are still seen.
  target_compile_options(brelvo_boost INTERFACE -Wno-tsan)
endif()
