# Read by cpack once for each package it makes (CPACK_GENERATOR names that one).

# Every package of a commit carries the same time stamps, whoever builds it where:
# the commit's time, unless SOURCE_DATE_EPOCH is given.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_TORVINALE_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_status ERROR_QUIET)
  if(git_status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
  else()
    message(WARNING "No git history and no SOURCE_DATE_EPOCH: the packages carry "
      "the time they were made.")
  endif()
endif()

macro(install_components)
  set(CPACK_INSTALL_CMAKE_PROJECTS "")
  foreach(component ${ARGN})
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS
      "${CPACK_TORVINALE_BUILD_DIR}" torvinale ${component} /)
  endforeach()
endmacro()

if(CPACK_GENERATOR STREQUAL "DEB")
  install_components(program login docs debian)
  if(CPACK_TORVINALE_READELF)
    # Cross-built: the newest C library version the program asks for.
    execute_process(COMMAND "${CPACK_TORVINALE_READELF}" --version-info --wide
      "${CPACK_TORVINALE_PROGRAM}" OUTPUT_VARIABLE versions COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" needed "${versions}")
    set(libc 0)
    foreach(name ${needed})
      string(REGEX REPLACE ".*GLIBC_" "" version "${name}")
      if(version VERSION_GREATER libc)
        set(libc ${version})
      endif()
    endforeach()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${libc})")
  endif()
elseif(CPACK_GENERATOR STREQUAL "TGZ" AND CPACK_TORVINALE_PORTABLE)
  install_components(portable login docs)
  set(CPACK_PACKAGE_FILE_NAME
    "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-linux-${CPACK_TORVINALE_ARCH}")
endif()
