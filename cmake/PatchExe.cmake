# add_patch_stub(<target> [OUTPUT_NAME <name>])
#
# Links the installer with its resources but no archive: the stub that
# `patchpack build` turns into a Patch.exe. Call it where patch_installer (an
# object library) is known.
#
# add_patch_exe(<target> OUTPUT_NAME <name> STUB <stub target> PATCHPACK <program>
#               (ARCHIVE <file> | PAYLOAD <dir> [BASE <dir>...] [CODEPAGE <n>])
#               [VERSION <X.YY.ZZZ>] [INPUTS <file>...] [DEPENDS <item>...])
#
# Writes <name>.exe in the current binary folder with `patchpack build` from
# the stub: a prebuilt archive as it is, or the archive of a payload folder
# (with BASE, what it adds or changes against each old release). INPUTS are
# the files whose change makes it anew; DEPENDS names targets or files it
# needs first. The target's PATCH_EXE_FILE property holds the program's path,
# PATCH_EXE_NAME its name, PATCH_EXE_VERSION the version it shows and
# PATCH_EXE_CODEPAGE the code page of its names (empty: ASCII). An archive
# larger than PATCH_MAX_ARCHIVE_SIZE (the top CMakeLists.txt) is refused when
# configuring if it exists then; patchpack refuses it when building.
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

function(add_patch_stub target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT_NAME" "")
  get_filename_component(resource_dir ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../resources ABSOLUTE)
  # The resource script with the project's version filled in.
  set(script_dir ${CMAKE_BINARY_DIR}/resources)
  configure_file(${resource_dir}/patch.rc.in ${script_dir}/patch.rc @ONLY)
  set(resources ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.o)
  add_custom_command(
    OUTPUT ${resources}
    COMMAND ${CMAKE_RC_COMPILER} --input-format=rc --output-format=coff
            -I ${script_dir} -I ${resource_dir} -i ${script_dir}/patch.rc -o ${resources}
    DEPENDS ${script_dir}/patch.rc ${resource_dir}/resource.h ${resource_dir}/patch.ico
    COMMENT "Compiling the installer's resources"
    VERBATIM
  )
  add_executable(${target} WIN32 ${resources})
  target_link_libraries(${target} PRIVATE patch_installer)
  # The program must stay small and come out the same from every build: no
  # symbols, no unreferenced sections, no timestamp.
  target_link_options(${target} PRIVATE -s -Wl,--gc-sections -Wl,--no-insert-timestamp)
  if(arg_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${arg_OUTPUT_NAME})
  endif()
endfunction()

function(add_patch_exe target)
  cmake_parse_arguments(PARSE_ARGV 1 arg ""
                        "OUTPUT_NAME;STUB;PATCHPACK;ARCHIVE;PAYLOAD;CODEPAGE;VERSION"
                        "BASE;INPUTS;DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "add_patch_exe(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required OUTPUT_NAME STUB PATCHPACK)
    if(NOT arg_${required})
      message(FATAL_ERROR "add_patch_exe(${target}): ${required} is required")
    endif()
  endforeach()
  if(arg_ARCHIVE AND arg_PAYLOAD)
    message(FATAL_ERROR "add_patch_exe(${target}): ARCHIVE or PAYLOAD, not both")
  endif()
  set(exe ${CMAKE_CURRENT_BINARY_DIR}/${arg_OUTPUT_NAME}.exe)
  set(options --stub $<TARGET_FILE:${arg_STUB}>)
  if(arg_VERSION)
    list(APPEND options --version ${arg_VERSION})
  endif()
  if(arg_CODEPAGE)
    list(APPEND options --codepage ${arg_CODEPAGE})
  endif()
  if(arg_ARCHIVE)
    get_filename_component(archive "${arg_ARCHIVE}" ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
    if(EXISTS ${archive})
      patch_check_archive_size(${archive})
    endif()
    list(APPEND options --archive ${archive})
    set(inputs ${archive})
    set(comment "Building ${arg_OUTPUT_NAME}.exe around ${archive}")
  else()
    get_filename_component(payload "${arg_PAYLOAD}" ABSOLUTE)
    foreach(base IN LISTS arg_BASE)
      get_filename_component(base "${base}" ABSOLUTE)
      list(APPEND options --base ${base})
    endforeach()
    list(APPEND options ${payload})
    set(inputs "")
    set(comment "Building ${arg_OUTPUT_NAME}.exe from ${payload}")
  endif()
  add_custom_command(
    OUTPUT ${exe}
    COMMAND ${arg_PATCHPACK} build ${options} ${exe}
    DEPENDS ${arg_STUB} ${arg_PATCHPACK} ${inputs} ${arg_INPUTS} ${arg_DEPENDS}
    COMMENT ${comment}
    VERBATIM
  )
  add_custom_target(${target} ALL DEPENDS ${exe})
  if(NOT arg_VERSION)
    set(arg_VERSION ${PATCH_VERSION_TEXT})
  endif()
  set_target_properties(${target} PROPERTIES PATCH_EXE_FILE ${exe}
                        PATCH_EXE_NAME ${arg_OUTPUT_NAME} PATCH_EXE_VERSION ${arg_VERSION}
                        PATCH_EXE_CODEPAGE "${arg_CODEPAGE}")
endfunction()
