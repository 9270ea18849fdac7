# add_patch_exe(<target> ARCHIVE <file> [OUTPUT_NAME <name>] [DEPENDS <item>...])
#
# Builds a Patch.exe variant: the installer (target patch_installer, an object
# library) with <file> embedded as its patch archive, resource "BINARY" 105.
# ARCHIVE may be the output of a custom command in the same directory; name
# the command's target or other prerequisites in DEPENDS when it is not.
# OUTPUT_NAME defaults to <target>. The target's PATCH_ARCHIVE_FILE property
# holds the archive's absolute path, for checks that compare the two.
#
# Must be called from a directory where patch_installer is known (after
# installer/ has been added). An archive larger than PATCH_MAX_ARCHIVE_SIZE
# (the top CMakeLists.txt) is refused when configuring if it exists then, else
# when building: this file also runs as a script,
#   cmake -DPATCH_CHECK_ARCHIVE=<file> -DPATCH_MAX_ARCHIVE_SIZE=<bytes> -P PatchExe.cmake
include_guard(GLOBAL)

function(patch_check_archive_size archive)
  file(SIZE ${archive} size)
  if(size GREATER PATCH_MAX_ARCHIVE_SIZE)
    math(EXPR size_mib "${size} / 1048576")
    math(EXPR limit_mib "${PATCH_MAX_ARCHIVE_SIZE} / 1048576")
    message(FATAL_ERROR "The patch archive ${archive} has ${size} bytes (${size_mib} MiB), more "
                        "than the ${PATCH_MAX_ARCHIVE_SIZE} bytes (${limit_mib} MiB) a Patch.exe "
                        "can carry and still start.")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  patch_check_archive_size(${PATCH_CHECK_ARCHIVE})
  return()
endif()

function(add_patch_exe target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "ARCHIVE;OUTPUT_NAME" "DEPENDS")
  if(NOT arg_ARCHIVE)
    message(FATAL_ERROR "add_patch_exe(${target}): ARCHIVE is required")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "add_patch_exe(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_OUTPUT_NAME)
    set(arg_OUTPUT_NAME ${target})
  endif()
  get_filename_component(archive "${arg_ARCHIVE}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
  get_filename_component(resource_dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../resources ABSOLUTE)
  if(EXISTS ${archive})
    patch_check_archive_size(${archive})
  endif()
  # The resource script with the project's version filled in.
  set(script_dir ${CMAKE_BINARY_DIR}/resources)
  configure_file(${resource_dir}/patch.rc.in ${script_dir}/patch.rc @ONLY)

  # The resource script names the archive by its path; quote it for rc.
  string(REPLACE "\\" "\\\\" rc_archive "${archive}")
  string(REPLACE "\"" "\"\"" rc_archive "${rc_archive}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT [[
// The installer's resources with its patch archive (generated).
#include "patch.rc"

LANGUAGE LANG_RUSSIAN, SUBLANG_DEFAULT

IDR_PATCH_DATA BINARY "@rc_archive@"
]] @ONLY)

  set(resources ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.o)
  add_custom_command(
    OUTPUT ${resources}
    COMMAND ${CMAKE_COMMAND} -DPATCH_CHECK_ARCHIVE=${archive}
            -DPATCH_MAX_ARCHIVE_SIZE=${PATCH_MAX_ARCHIVE_SIZE} -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    COMMAND ${CMAKE_RC_COMPILER} --input-format=rc --output-format=coff
            -I ${script_dir} -I ${resource_dir} -i ${rc} -o ${resources}
    DEPENDS ${rc} ${archive} ${script_dir}/patch.rc ${resource_dir}/resource.h
            ${resource_dir}/patch.ico ${arg_DEPENDS}
    COMMENT "Embedding ${archive} in ${arg_OUTPUT_NAME}.exe"
    VERBATIM
  )

  add_executable(${target} WIN32 ${resources})
  target_link_libraries(${target} PRIVATE patch_installer)
  # Everything but the archive must stay small and come out the same from
  # every build: no symbols, no unreferenced sections, no timestamp.
  target_link_options(${target} PRIVATE -s -Wl,--gc-sections -Wl,--no-insert-timestamp)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${arg_OUTPUT_NAME}
    PATCH_ARCHIVE_FILE ${archive}
  )
endfunction()
