# Run by cpack in Windows builds before it packs the staged files (a pre-build script)
# and after it has made each package (a post-build script): signs torvinale.exe before
# it goes into the .zip and the .msi, then the .msi, with osslsigncode, when the
# environment names a certificate:
#   TORVINALE_SIGN_PKCS12     the PKCS#12 file that holds the certificate and its key
#   TORVINALE_SIGN_PASSWORD   its password, handed to osslsigncode on a pipe, never on a
#                             command line nor in the output
#   TORVINALE_SIGN_TIMESTAMP  an RFC 3161 time-stamp server's URL (optional)
# Without the first two nothing is signed, and one line says so; with only one of them,
# cpack fails. The .exe is signed once per cpack run; both packages take that copy.
if(DEFINED ENV{TORVINALE_SIGN_PKCS12} AND NOT DEFINED ENV{TORVINALE_SIGN_PASSWORD} OR
   DEFINED ENV{TORVINALE_SIGN_PASSWORD} AND NOT DEFINED ENV{TORVINALE_SIGN_PKCS12})
  message(FATAL_ERROR "Signing needs both TORVINALE_SIGN_PKCS12 and TORVINALE_SIGN_PASSWORD")
elseif(NOT DEFINED ENV{TORVINALE_SIGN_PKCS12})
  get_property(said GLOBAL PROPERTY torvinale_unsigned)
  if(NOT said)
    message(STATUS "Not signed: TORVINALE_SIGN_PKCS12 and TORVINALE_SIGN_PASSWORD are not set")
    set_property(GLOBAL PROPERTY torvinale_unsigned TRUE)
  endif()
  return()
endif()

function(sign file)
  if(NOT CPACK_TORVINALE_OSSLSIGNCODE)
    message(FATAL_ERROR "Signing needs osslsigncode (Debian package osslsigncode)")
  endif()
  set(timestamp "")
  if(NOT "$ENV{TORVINALE_SIGN_TIMESTAMP}" STREQUAL "")
    set(timestamp -ts "$ENV{TORVINALE_SIGN_TIMESTAMP}")
  endif()
  # The pipe by the name /dev/stdin: before 2.9 osslsigncode reads "-" as a file so
  # named (Debian 12 ships 2.5).
  execute_process(
    COMMAND printenv TORVINALE_SIGN_PASSWORD
    COMMAND "${CPACK_TORVINALE_OSSLSIGNCODE}" sign -pkcs12 "$ENV{TORVINALE_SIGN_PKCS12}"
      -readpass /dev/stdin -h sha256 -n Torvinale -i "${CPACK_PACKAGE_HOMEPAGE_URL}" ${timestamp}
      -in "${file}" -out "${file}.signed"
    OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "osslsigncode could not sign ${file}:\n${output}")
  endif()
  file(RENAME "${file}.signed" "${file}")
  message(STATUS "Signed ${file}")
endfunction()

if(NOT CPACK_PACKAGE_FILES)  # before packing
  set(exe "${CPACK_TEMPORARY_DIRECTORY}/torvinale.exe")
  file(SHA256 "${exe}" unsigned)
  get_property(signed GLOBAL PROPERTY torvinale_signed_${unsigned})
  if(signed)
    file(COPY_FILE "${signed}" "${exe}")
  else()
    sign("${exe}")
    set_property(GLOBAL PROPERTY torvinale_signed_${unsigned} "${exe}")
  endif()
else()
  foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(package MATCHES "\\.msi$")
      sign("${package}")
    endif()
  endforeach()
endif()
