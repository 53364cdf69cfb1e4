# Install layout and packages: a .deb and a .tar.gz on Linux, a .zip on Windows.
# Packages land in the build folder (`cpack --preset posix` or `--preset windows`).
include(GNUInstallDirs)

set(docs_dir ${PROJECT_SOURCE_DIR}/docs)
set(examples_dir ${PROJECT_SOURCE_DIR}/examples)
set(debian_dir ${PROJECT_SOURCE_DIR}/packaging/debian)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME torvinale)
set(CPACK_PACKAGE_VENDOR "The Torvinale authors")
set(CPACK_PACKAGE_CONTACT "Torvinale developers <developers@torvinale.example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://torvinale.example.org/")

if(WIN32)
  # What goes into one folder of the user's choice: the program, how to use it, the
  # login shortcut. The .zip holds them at its top, so that "Extract All" into
  # C:\Tools\Torvinale (or the folder named after the .zip that Explorer proposes)
  # puts torvinale.exe right there.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  install(TARGETS torvinale RUNTIME DESTINATION .)
  install(FILES ${docs_dir}/USAGE-windows.txt DESTINATION . RENAME USAGE.txt)
  install(FILES ${examples_dir}/create-startup-shortcut.ps1 DESTINATION .)
  # Windows line ends, like the other texts in the folder.
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE LICENSE @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LICENSE DESTINATION .)

  # For the MSI only: the file a first run writes, made from the program's own table
  # (launcher/default_settings.def) as Windows' profile functions write a new file.
  set(defaults_def ${PROJECT_SOURCE_DIR}/launcher/default_settings.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${defaults_def} ${PROJECT_SOURCE_DIR}/launcher/settings.h)
  file(STRINGS ${PROJECT_SOURCE_DIR}/launcher/settings.h section REGEX "kSection = ")
  string(REGEX REPLACE "^.*kSection = \"([^\"]+)\".*$" "[\\1]\r\n" default_config "${section}")
  file(STRINGS ${defaults_def} defaults REGEX "^TORVINALE_DEFAULT")
  foreach(line IN LISTS defaults)
    if(NOT line MATCHES "^TORVINALE_DEFAULT\\(\"([A-Za-z0-9]+)\", \"(([^\\\\\"]|\\\\\\\\)*)\"\\)$")
      message(FATAL_ERROR "launcher/default_settings.def: cannot read `${line}`")
    endif()
    string(REPLACE "\\\\" "\\" value "${CMAKE_MATCH_2}")
    string(APPEND default_config "${CMAKE_MATCH_1}=${value}\r\n")
  endforeach()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/default-config.ini "${default_config}")
else()
  # Components: the .deb takes program, login, docs and debian; the .tar.gz takes
  # portable (a static program and LICENSE), login and docs. A plain install leaves
  # portable out.
  install(TARGETS torvinale RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  # What the login entry runs, beside the program it starts.
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/linux/torvinale-login
    DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT login)
  if(TARGET torvinale_static)
    install(TARGETS torvinale_static RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
      COMPONENT portable EXCLUDE_FROM_ALL)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT portable EXCLUDE_FROM_ALL)

  # Debian wants these compressed, without a time stamp so builds repeat.
  find_program(GZIP_EXECUTABLE gzip REQUIRED)
  set(man_pages "")
  foreach(page torvinale.1 torvinale-login.1)
    add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz
      COMMAND ${GZIP_EXECUTABLE} -9nc ${docs_dir}/${page} > ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz
      DEPENDS ${docs_dir}/${page}
      VERBATIM)
    list(APPEND man_pages ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
  endforeach()
  set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND ${GZIP_EXECUTABLE} -9nc ${debian_dir}/changelog > ${changelog}
    DEPENDS ${debian_dir}/changelog
    VERBATIM)
  add_custom_target(torvinale_docs ALL DEPENDS ${man_pages} ${changelog})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT docs)
  install(FILES ${examples_dir}/config.ini ${examples_dir}/torvinale.desktop
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT docs)

  # The version of the newest changelog entry is the version packaged.
  file(STRINGS ${debian_dir}/changelog changelog_head LIMIT_COUNT 1)
  if(NOT changelog_head MATCHES "^torvinale \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog does not start with version "
      "${PROJECT_VERSION}: ${changelog_head}")
  endif()

  # The machine-readable copyright file carries LICENSE's text.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _ "${license}")
  set(license_holder "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^.*\nPermission" "Permission" license_text "${license}")
  string(STRIP "${license_text}" license_text)
  string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
  string(REPLACE "\n" "\n " license_text " ${license_text}")
  configure_file(${debian_dir}/copyright.in copyright @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${changelog}
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian)
endif()

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "delayed start of programs and documents at login")
# Line breaks kept: the .deb shows the text folded as written here.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Torvinale reads config.ini in its working directory, shows a countdown"
  "that is redrawn in place once a second, then opens up to ten configured"
  "entries (programs, documents, URLs) one after the other with a pause"
  "after each, and ends. Started from a login autostart entry, it spreads"
  "out what opens with the desktop.")
if(NOT WIN32)  # (the .exe is stripped when linked: see CMakeLists.txt)
  set(CPACK_STRIP_FILES ON)
endif()
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # The per-user MSI for deployment (cmake/cpack-msi.cmake), made where wixl is.
  find_program(WIXL_EXECUTABLE wixl)
  find_program(MSIBUILD_EXECUTABLE msibuild)
  find_program(FAKETIME_EXECUTABLE faketime)
  if(WIXL_EXECUTABLE AND MSIBUILD_EXECUTABLE)
    list(APPEND CPACK_GENERATOR External)
    set(CPACK_EXTERNAL_ENABLE_STAGING ON)
    set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/cpack-msi.cmake)
    set(CPACK_TORVINALE_WIXL ${WIXL_EXECUTABLE})
    set(CPACK_TORVINALE_MSIBUILD ${MSIBUILD_EXECUTABLE})
    set(CPACK_TORVINALE_FAKETIME ${FAKETIME_EXECUTABLE})
    set(CPACK_TORVINALE_WXS ${PROJECT_SOURCE_DIR}/packaging/windows/torvinale.wxs)
  else()
    message(STATUS "No wixl and msibuild (Debian packages wixl, msitools): no .msi")
  endif()
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB TGZ)
else()
  set(CPACK_GENERATOR TGZ)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(CMAKE_CROSSCOMPILING)
  # dpkg names the host's architecture and libraries; cmake/cpack-project.cmake
  # derives the C library version the program needs from the program itself.
  set(deb_arch_aarch64 arm64)
  set(deb_arch_x86_64 amd64)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch_${CMAKE_SYSTEM_PROCESSOR}})
  set(CPACK_TORVINALE_READELF ${CMAKE_READELF})
else()
  find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS_EXECUTABLE)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
  endif()
endif()
# The program opens documents and URLs through the desktop's opener, and
# applications' menu entries through GLib's gio.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, libglib2.0-bin")

# What cmake/cpack-project.cmake needs when cpack runs.
set(CPACK_TORVINALE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_TORVINALE_BUILD_DIR ${PROJECT_BINARY_DIR})
set(CPACK_TORVINALE_PROGRAM ${PROJECT_BINARY_DIR}/torvinale${CMAKE_EXECUTABLE_SUFFIX})
set(CPACK_TORVINALE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
if(TARGET torvinale_static)
  set(CPACK_TORVINALE_PORTABLE ON)
endif()
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-project.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-repack.cmake)
if(WIN32)
  # Release signing, when the environment names a certificate (cmake/cpack-sign.cmake).
  find_program(OSSLSIGNCODE_EXECUTABLE osslsigncode)
  set(CPACK_TORVINALE_OSSLSIGNCODE ${OSSLSIGNCODE_EXECUTABLE})
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-sign.cmake)
  list(APPEND CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-sign.cmake)
endif()

include(CPack)
