# Authenticode signing of release builds with osslsigncode (SHA-256, no
# timestamp server: a build must not need the network).
#
#   cmake ... -DPATCH_SIGN_PKCS12=<key and certificate .p12>
#             -DPATCH_SIGN_PASSWORD_FILE=<file holding its password>
#             [-DPATCH_SIGN_TIME=<Unix time to record as the signing time>]
#
# Signing writes a signed copy, <folder of Patch.exe>/signed/Patch.exe, and
# leaves Patch.exe itself as every unsigned build makes it: that file stays
# reproducible and comparable between builds, and the copy keeps the name
# that players see. The copy is Patch.exe plus the certificate table and
# nothing else (`osslsigncode remove-signature` gives Patch.exe back byte
# for byte). With PATCH_SIGN_TIME fixed, signing is repeatable too.
#
# patch_sign_exe(<target> PKCS12 <file> PASSWORD_FILE <file> [TIME <unix time>]
#                [OUTPUT <file>])
#   adds <target>_signed (built by default), which writes the signed copy
#   (default: signed/<output name>.exe under the current binary folder, where
#   add_patch_exe puts the program; <target> is one of add_patch_exe's), and
#   sets the target's
#   PATCH_SIGNED_FILE property to its path.
include_guard(GLOBAL)

function(patch_sign_exe target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PKCS12;PASSWORD_FILE;TIME;OUTPUT" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "patch_sign_exe(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(file PKCS12 PASSWORD_FILE)
    if(NOT arg_${file})
      message(FATAL_ERROR "patch_sign_exe(${target}): ${file} is required")
    endif()
    get_filename_component(arg_${file} "${arg_${file}}" ABSOLUTE)
  endforeach()
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "osslsigncode not found (scripts/install-deps.sh installs it)")
  endif()

  if(NOT arg_OUTPUT)
    get_target_property(name ${target} PATCH_EXE_NAME)
    set(arg_OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/signed/${name}.exe)
  endif()
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
  get_filename_component(output_dir "${output}" DIRECTORY)
  set(time_args "")
  if(NOT "${arg_TIME}" STREQUAL "")
    set(time_args -time ${arg_TIME})
  endif()

  # The password is read from its file, never put on a command line. The
  # copy appears only once it is whole, so a failed signing leaves none.
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${output}.part
    COMMAND ${OSSLSIGNCODE} sign -pkcs12 ${arg_PKCS12} -readpass ${arg_PASSWORD_FILE}
            -h sha256 -n "Orvantis III Patch" ${time_args}
            -in $<TARGET_PROPERTY:${target},PATCH_EXE_FILE> -out ${output}.part
    COMMAND ${CMAKE_COMMAND} -E rename ${output}.part ${output}
    DEPENDS ${target} ${arg_PKCS12} ${arg_PASSWORD_FILE}
    COMMENT "Signing ${output}"
    VERBATIM
  )
  add_custom_target(${target}_signed ALL DEPENDS ${output})
  set_target_properties(${target} PROPERTIES PATCH_SIGNED_FILE ${output})
endfunction()
