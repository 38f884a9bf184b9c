# Every program of the project installs through ondrilux_install_program(NAME):
# the executable into the binary folder and its manual page dist/man/NAME.1,
# compressed, into section 1. A program without a page does not configure.
# The programs' list also becomes the metainfo's <provides> (see dist/).
add_custom_target(ondrilux_programs)

# Compresses `source` into `output` at build time, made by the custom target
# `target`. gzip -n: no name or time stamp, so the bytes do not depend on when
# they were built.
function(ondrilux_gzip target source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" gzip ${source} ${output}
    DEPENDS ${source} VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

# The operations' list for the manual pages, printed from their table in the
# engine by a small program, so the pages cannot drift from --help.
add_executable(ondrilux_operation_list ${PROJECT_SOURCE_DIR}/dist/man/operation_list.cpp)
target_include_directories(ondrilux_operation_list PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(ondrilux_operation_list PRIVATE ondrilux_warnings)
set(ondrilux_operation_list ${PROJECT_BINARY_DIR}/generated/operation_list.troff)
add_custom_command(OUTPUT ${ondrilux_operation_list}
  COMMAND ondrilux_operation_list > ${ondrilux_operation_list}
  DEPENDS ondrilux_operation_list VERBATIM)
# Other folders' pages wait for it through this target.
add_custom_target(ondrilux_operation_list_troff DEPENDS ${ondrilux_operation_list})

function(ondrilux_install_program program)
  set(page ${PROJECT_SOURCE_DIR}/dist/man/${program}.1)
  if(NOT EXISTS ${page})
    message(FATAL_ERROR "${program} has no manual page: write ${page}")
  endif()
  # Filled in at build time: the heading's version and release date, and
  # @ONDRILUX_OPERATIONS@, the list of the operations.
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${program}.1
    COMMAND ${CMAKE_COMMAND} -DPAGE=${page} -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/${program}.1
            -DOPERATIONS=${ondrilux_operation_list} -DPROJECT_VERSION=${PROJECT_VERSION}
            -DONDRILUX_RELEASE_DATE=${ONDRILUX_RELEASE_DATE}
            -P ${PROJECT_SOURCE_DIR}/cmake/fill_manual_page.cmake
    DEPENDS ${page} ${ondrilux_operation_list} ${PROJECT_SOURCE_DIR}/cmake/fill_manual_page.cmake
    VERBATIM)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${program}.1.gz)
  ondrilux_gzip(${program}_manual_page ${CMAKE_CURRENT_BINARY_DIR}/${program}.1 ${compressed})
  add_dependencies(${program}_manual_page ondrilux_operation_list_troff)
  add_dependencies(${program} ${program}_manual_page)
  add_dependencies(ondrilux_programs ${program})
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set_property(GLOBAL APPEND PROPERTY ONDRILUX_PROGRAMS ${program})
endfunction()
