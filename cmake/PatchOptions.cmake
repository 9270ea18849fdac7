# The options a studio sets to build its Patch.exe (installer/ and
# cmake/Signing.cmake use them), checked when configuring: a wrong value is
# refused here, named with the reason, instead of failing the build later in
# another tool's words.
include_guard(GLOBAL)

set(PATCH_ARCHIVE "" CACHE FILEPATH
    "A prebuilt patch archive to embed as it is (empty: pack one from a payload folder)")
set(PATCH_PAYLOAD_DIR "" CACHE PATH
    "The payload folder to pack when PATCH_ARCHIVE is empty (empty: the sample payload)")
set(PATCH_BASE_DIR "" CACHE STRING
    "The earlier releases (a list): with PATCH_PAYLOAD_DIR, pack only what one of them lacks")
set(PATCH_CODEPAGE "" CACHE STRING
    "The players' ANSI code page for names outside ASCII, e.g. 1251 (empty: ASCII names only)")
set(PATCH_VERSION "" CACHE STRING
    "The version Patch.exe shows, X.YY.ZZZ such as 1.00.002 (empty: the project's, ${PATCH_VERSION_TEXT})")
set(PATCH_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file with the code-signing key and certificate (empty: Patch.exe is not signed)")
set(PATCH_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File whose first line is the PKCS#12 password")
set(PATCH_SIGN_TIME "" CACHE STRING "Signing time as Unix time (empty: the time of signing)")

# One line: the option, the value and why it cannot be built.
function(patch_refuse option value)
  string(JOIN "" reason ${ARGN})
  if("${value}" STREQUAL "")
    message(FATAL_ERROR "${option}: ${reason}")
  endif()
  message(FATAL_ERROR "${option}: ${value}: ${reason}")
endfunction()

# CMake makes a -D path absolute from the working folder, which for a preset
# is the source folder; a list (and a path given a type) it leaves as it is.
# The same start for those: the build uses these absolute forms.
foreach(option PATCH_ARCHIVE PATCH_PAYLOAD_DIR PATCH_BASE_DIR PATCH_SIGN_PKCS12
               PATCH_SIGN_PASSWORD_FILE)
  set(paths "")
  foreach(path IN LISTS ${option})
    get_filename_component(path "${path}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
    if(option MATCHES "_DIR$" AND NOT IS_DIRECTORY "${path}")
      patch_refuse(${option} "${path}" "no such folder")
    elseif(NOT option MATCHES "_DIR$" AND (NOT EXISTS "${path}" OR IS_DIRECTORY "${path}"))
      patch_refuse(${option} "${path}" "no such file")
    endif()
    list(APPEND paths "${path}")
  endforeach()
  set(${option} "${paths}")
endforeach()
if(PATCH_BASE_DIR AND (PATCH_ARCHIVE OR NOT PATCH_PAYLOAD_DIR))
  patch_refuse(PATCH_BASE_DIR "${PATCH_BASE_DIR}" "packs the difference from it to "
               "PATCH_PAYLOAD_DIR: give PATCH_PAYLOAD_DIR too, and no PATCH_ARCHIVE")
endif()
if(PATCH_SIGN_PKCS12 AND NOT PATCH_SIGN_PASSWORD_FILE)
  patch_refuse(PATCH_SIGN_PASSWORD_FILE "" "needed with PATCH_SIGN_PKCS12, which it unlocks")
endif()
if(NOT "${PATCH_SIGN_TIME}" MATCHES "^[0-9]*$")
  patch_refuse(PATCH_SIGN_TIME "${PATCH_SIGN_TIME}" "not a Unix time (seconds since 1970)")
endif()

# The same rules as patchpack build --version.
if(NOT "${PATCH_VERSION}" STREQUAL "")
  if(NOT PATCH_VERSION MATCHES "^([0-9]+)\\.[0-9][0-9]\\.[0-9][0-9][0-9]$")
    patch_refuse(PATCH_VERSION "${PATCH_VERSION}"
                 "not a version of the form X.YY.ZZZ, such as 1.00.002")
  endif()
  string(LENGTH "${CMAKE_MATCH_1}" major_digits)
  if(major_digits GREATER 5 OR CMAKE_MATCH_1 GREATER 65535)
    patch_refuse(PATCH_VERSION "${PATCH_VERSION}"
                 "the major number does not fit the version block (at most 65535)")
  endif()
endif()

# The tools take the limit as a 32-bit number in their source code.
string(LENGTH "${PATCH_MAX_ARCHIVE_SIZE}" limit_digits)
if(NOT PATCH_MAX_ARCHIVE_SIZE MATCHES "^[1-9][0-9]*$" OR limit_digits GREATER 10
   OR PATCH_MAX_ARCHIVE_SIZE GREATER 4294967295)
  patch_refuse(PATCH_MAX_ARCHIVE_SIZE "${PATCH_MAX_ARCHIVE_SIZE}"
               "not a number of bytes from 1 to 4294967295")
endif()

# patchpack converts names with the build machine's iconv: ask it now.
if(NOT "${PATCH_CODEPAGE}" STREQUAL "")
  set(known 1)
  if(PATCH_CODEPAGE MATCHES "^[0-9]+$")
    execute_process(COMMAND iconv -f CP${PATCH_CODEPAGE} -t UTF-8 INPUT_FILE /dev/null
                    RESULT_VARIABLE known OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(NOT known EQUAL 0)
    patch_refuse(PATCH_CODEPAGE "${PATCH_CODEPAGE}"
                 "not a code page this system's iconv knows, such as 1251")
  endif()
endif()
