if(WIN32)
  # One folder name for every version, so a newer zip unzipped where the old
  # one was lands in the same folder, beside the board maker's library,
  # scoreboard.ini and Archive.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(brelvo_folder "Brelvo Proxy (32-bit)")
  else()
    set(brelvo_folder "Brelvo Proxy (64-bit)")
  endif()
  # Not a cache entry: a build folder configured before keeps no old name.
  set(BRELVO_INSTALL_DIR "${brelvo_folder}")
else()
  set(BRELVO_INSTALL_DIR "." CACHE STRING "Folder inside the install prefix that holds the program")
endif()
foreach(target brelvo-proxy scoreboardcontroller brelvo-board brelvo-feed)
  if(TARGET ${target} AND WIN32 AND target STREQUAL "scoreboardcontroller")
    # Apart from the program, so that an update unzipped over the program
    # folder never replaces the board maker's library beside the exe.
    install(TARGETS ${target} RUNTIME DESTINATION "${BRELVO_INSTALL_DIR}/virtual-board")
  elseif(TARGET ${target})
    install(TARGETS ${target}
      RUNTIME DESTINATION "${BRELVO_INSTALL_DIR}"
      LIBRARY DESTINATION "${BRELVO_INSTALL_DIR}")
  endif()
endforeach()
if(WIN32)
  # The operators' zips (win32, win64): the program, our controller library
  # in virtual-board/ and a short README; the board maker's library goes
  # beside the program.
  # Windows line ends, so Notepad shows it as written.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt ${PROJECT_BINARY_DIR}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION "${BRELVO_INSTALL_DIR}")
  set(CPACK_PACKAGE_NAME "brelvo-proxy")
  set(CPACK_PACKAGE_VENDOR "Brelvo")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_GENERATOR "ZIP")
  # The zip's name carries the version; its one top folder is the
  # install folder above, the same for every version.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME "brelvo-proxy-${PROJECT_VERSION}-win32")
  else()
    set(CPACK_PACKAGE_FILE_NAME "brelvo-proxy-${PROJECT_VERSION}-win64")
  endif()
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")
  include(CPack)
else()
  install(FILES README.md DESTINATION "${BRELVO_INSTALL_DIR}")
  set(CPACK_PACKAGE_NAME "brelvo-proxy")
  set(CPACK_PACKAGE_VENDOR "Brelvo")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Proxy between a kart timing feed and an LED scoreboard")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_GENERATOR "DEB;TGZ")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/opt/brelvo-proxy")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Brelvo Proxy developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION "misc")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  include(CPack)
endif()
