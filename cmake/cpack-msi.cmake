# Run by cpack as its External generator in Windows builds: the per-user MSI
# (packaging/windows/torvinale.wxs), made with wixl from the files staged for it.
#
# The same commit gives the same bytes. wixl stamps the database with the time it runs
# and a random package code, and its cabinet keeps the files' times: it runs on a
# stopped clock (faketime) at the commit's time, on files carrying that time, and the
# package code is then derived from the bytes of the package itself. Windows Installer
# caches packages by that code, so it must change whenever the content does, which a
# code derived from the content does. The product code is derived from the version:
# each version is a major upgrade of the one before (the upgrade code stays).
set(namespace E2B8639F-8209-41E7-A1D9-B086DA4E64C6)
set(work "${CPACK_TOPLEVEL_DIRECTORY}/msi")
set(msi "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")
foreach(name torvinale.exe USAGE.txt LICENSE)
  file(COPY "${CPACK_TEMPORARY_DIRECTORY}/${name}" DESTINATION "${work}")
endforeach()
# Not in the .zip: the default file (cmake/packaging.cmake) and the icon for the
# shortcuts and Apps & Features.
file(COPY "${CPACK_TORVINALE_BUILD_DIR}/default-config.ini"
  "${CPACK_TORVINALE_SOURCE_DIR}/packaging/windows/torvinale.ico" DESTINATION "${work}")

set(clock "")
string(TIMESTAMP now "%Y-%m-%d %H:%M:%S" UTC)  # the commit's time, see cpack-project.cmake
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND touch -d "@$ENV{SOURCE_DATE_EPOCH}" torvinale.exe USAGE.txt LICENSE
    default-config.ini torvinale.ico WORKING_DIRECTORY "${work}" COMMAND_ERROR_IS_FATAL ANY)
  if(CPACK_TORVINALE_FAKETIME)
    set(clock "${CPACK_TORVINALE_FAKETIME}" -f "${now}")
  else()
    message(WARNING "No faketime: the .msi carries the time it was made.")
  endif()
endif()

string(UUID product_code NAMESPACE ${namespace} NAME "ProductCode ${CPACK_PACKAGE_VERSION}"
  TYPE SHA1 UPPER)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0 ${clock} "${CPACK_TORVINALE_WIXL}" --arch x64
    -D "Version=${CPACK_PACKAGE_VERSION}" -D "Manufacturer=${CPACK_PACKAGE_VENDOR}"
    -D "ProductCode=${product_code}" -o "${msi}" "${CPACK_TORVINALE_WXS}"
  WORKING_DIRECTORY "${work}" COMMAND_ERROR_IS_FATAL ANY)

# What WiX's own tools would have written and wixl leaves out: the program's version,
# by which Windows Installer decides whether to replace an installed copy.
set(version "${CPACK_PACKAGE_VERSION}.0")
execute_process(COMMAND "${CPACK_TORVINALE_MSIBUILD}" "${msi}"
  -q "UPDATE `File` SET `Version` = '${version}' WHERE `File` = 'torvinale.exe'"
  COMMAND_ERROR_IS_FATAL ANY)

function(set_package_code code)
  execute_process(COMMAND "${CPACK_TORVINALE_MSIBUILD}" "${msi}" -s
    "Torvinale ${CPACK_PACKAGE_VERSION}" "${CPACK_PACKAGE_VENDOR}" "x64;1033" "{${code}}"
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()
set_package_code(00000000-0000-0000-0000-000000000000)
file(SHA256 "${msi}" content)
string(UUID package_code NAMESPACE ${namespace} NAME "PackageCode ${content}" TYPE SHA1 UPPER)
set_package_code(${package_code})
set(CPACK_EXTERNAL_BUILT_PACKAGES "${msi}")
