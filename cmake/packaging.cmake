# Install layout and packages: a .deb and a .tar.gz on Linux, a .zip on Windows.
# Packages land in the build folder (`cpack --preset posix` or `--preset windows`).
include(GNUInstallDirs)

set(docs_dir ${PROJECT_SOURCE_DIR}/docs)
set(examples_dir ${PROJECT_SOURCE_DIR}/examples)

if(WIN32)
  # One folder to unpack anywhere: the program, how to use it, the login shortcut.
  install(TARGETS torvinale RUNTIME DESTINATION .)
  install(FILES ${docs_dir}/USAGE-windows.txt DESTINATION . RENAME USAGE.txt)
  install(FILES ${examples_dir}/create-startup-shortcut.ps1 DESTINATION .)
else()
  install(TARGETS torvinale RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Debian wants man pages compressed, without a time stamp so builds repeat.
  find_program(GZIP_EXECUTABLE gzip)
  if(GZIP_EXECUTABLE)
    set(man_page ${CMAKE_CURRENT_BINARY_DIR}/torvinale.1.gz)
    add_custom_command(OUTPUT ${man_page}
      COMMAND ${GZIP_EXECUTABLE} -9nc ${docs_dir}/torvinale.1 > ${man_page}
      DEPENDS ${docs_dir}/torvinale.1
      VERBATIM)
  else()
    set(man_page ${docs_dir}/torvinale.1)
  endif()
  add_custom_target(torvinale_man ALL DEPENDS ${man_page})
  install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  install(FILES ${examples_dir}/config.ini ${examples_dir}/torvinale.desktop
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME torvinale)
set(CPACK_PACKAGE_VENDOR "Torvinale developers")
set(CPACK_PACKAGE_CONTACT "Torvinale developers <developers@torvinale.example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://torvinale.example.org/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "delayed start of programs and documents at login")
# Line breaks kept: the .deb shows the text folded as written here.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Torvinale reads config.ini in its working directory, shows a countdown"
  "that is redrawn in place once a second, then opens up to ten configured"
  "entries (programs, documents, URLs) one after the other with a pause"
  "after each, and ends. Started from a login autostart entry, it spreads"
  "out what opens with the desktop.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB TGZ)
else()
  set(CPACK_GENERATOR TGZ)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_EXECUTABLE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
# The program opens documents and URLs through the desktop's opener.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)

include(CPack)
