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

function(ondrilux_install_program program)
  set(page ${PROJECT_SOURCE_DIR}/dist/man/${program}.1)
  if(NOT EXISTS ${page})
    message(FATAL_ERROR "${program} has no manual page: write ${page}")
  endif()
  # CMake fills in the heading's version and release date.
  configure_file(${page} ${CMAKE_CURRENT_BINARY_DIR}/${program}.1 @ONLY)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${program}.1.gz)
  ondrilux_gzip(${program}_manual_page ${CMAKE_CURRENT_BINARY_DIR}/${program}.1 ${compressed})
  add_dependencies(${program} ${program}_manual_page)
  add_dependencies(ondrilux_programs ${program})
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set_property(GLOBAL APPEND PROPERTY ONDRILUX_PROGRAMS ${program})
endfunction()
