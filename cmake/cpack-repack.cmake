# Run by cpack after it has made the packages: it writes a .tar.gz's entries in the
# order the folder listing gave them, which differs between machines. Repacked here
# in name order, owned by root, with the commit's time (cmake/cpack-project.cmake).
# A .zip likewise, with its entries' times read as UTC, and without the builder's user
# and group ids (zip -X), which the .zip of CMake 3.25 carries.
function(repack_zip package)
  find_program(ZIP zip REQUIRED)
  set(unpacked "${package}.d")
  file(REMOVE_RECURSE "${unpacked}")
  file(MAKE_DIRECTORY "${unpacked}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${package}"
    WORKING_DIRECTORY "${unpacked}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE files RELATIVE "${unpacked}" "${unpacked}/*")
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND touch -d "@$ENV{SOURCE_DATE_EPOCH}" ${files}
      WORKING_DIRECTORY "${unpacked}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE "${package}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0 ${ZIP} -X -D -9 -q "${package}" ${files}
    WORKING_DIRECTORY "${unpacked}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${unpacked}")
endfunction()

find_program(TAR tar REQUIRED)
find_program(GZIP gzip REQUIRED)
foreach(package ${CPACK_PACKAGE_FILES})
  if(package MATCHES "\\.zip$")
    repack_zip("${package}")
    continue()
  endif()
  if(NOT package MATCHES "\\.tar\\.gz$")
    continue()
  endif()
  set(unpacked "${package}.d")
  file(REMOVE_RECURSE "${unpacked}")
  file(MAKE_DIRECTORY "${unpacked}")
  execute_process(COMMAND ${TAR} -xpzf "${package}" -C "${unpacked}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB top RELATIVE "${unpacked}" "${unpacked}/*")
  set(time "")
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(time "--mtime=@$ENV{SOURCE_DATE_EPOCH}")
  endif()
  execute_process(
    COMMAND ${TAR} --sort=name --format=gnu --owner=root:0 --group=root:0 ${time}
      -C "${unpacked}" -cf - ${top}
    COMMAND ${GZIP} -9n
    OUTPUT_FILE "${package}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${unpacked}")
endforeach()
