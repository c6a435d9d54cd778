# kelvane_man_page(<name> <component> [<source dir>])
# Installs the manual page <name>(1), gzipped, with <component>. Rendered without smart
# punctuation, so that --option stays two hyphens rather than a dash. Its source is <name>.1.md in
# <source dir> (default: the calling directory). With pandoc at hand the page is rendered from
# it with the project's version and date; without, the troff page <name>.1 kept beside the
# source is used as it stands. Keep that page current with
#   cmake --build build --target man-pages-fallback
# (a test fails when it drifts from the source and the same pandoc version is present).
find_program(KELVANE_PANDOC pandoc)
find_program(KELVANE_GZIP gzip REQUIRED)
if(KELVANE_PANDOC AND NOT TARGET man-pages-fallback)
  add_custom_target(man-pages-fallback)
endif()

function(kelvane_man_page name component)
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  if(ARGC GREATER 2)
    set(dir ${ARGV2})
  endif()
  set(page ${dir}/${name}.1)
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/${name}.1.gz)
  if(KELVANE_PANDOC)
    set(rendered ${CMAKE_CURRENT_BINARY_DIR}/${name}.1)
    add_custom_command(
      OUTPUT ${rendered}
      COMMAND ${KELVANE_PANDOC} -f markdown-smart -s -t man -M date=${KELVANE_RELEASE_DATE}
              "-Vfooter=Kelvane ${PROJECT_VERSION}" ${dir}/${name}.1.md -o ${rendered}
      DEPENDS ${dir}/${name}.1.md
      COMMENT "Rendering the ${name} manual page")
    add_custom_target(${name}-man-fallback
      COMMAND ${CMAKE_COMMAND} -E copy ${rendered} ${page} DEPENDS ${rendered})
    add_dependencies(man-pages-fallback ${name}-man-fallback)
    add_test(NAME man_page_${name}_current
      COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/man-page-current.sh ${KELVANE_PANDOC} ${page}
              ${dir}/${name}.1.md ${KELVANE_RELEASE_DATE} "Kelvane ${PROJECT_VERSION}")
    set_tests_properties(man_page_${name}_current PROPERTIES SKIP_RETURN_CODE 77)
    set(page ${rendered})
  endif()
  # -n: no name or time stamp in the archive, so that rebuilds give the same bytes.
  add_custom_command(OUTPUT ${gz}
    COMMAND ${KELVANE_GZIP} -n9 -c ${page} > ${gz}
    DEPENDS ${page}
    COMMENT "Compressing the ${name} manual page")
  add_custom_target(${name}-man ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# kelvane_help_text(<target> <name> <source dir> <section>...)
# Gives <target> the header <name>-help.h with kHelpText, the --help text made from the manual
# page's source <source dir>/<name>.1.md: its SYNOPSIS, its NAME line and the sections named
# (see cmake/help-text.cmake). The help and the manual page thus say the same.
function(kelvane_help_text target name dir)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/help-${name})
  set(header ${out}/${name}-help.h)
  list(JOIN ARGN "," sections)
  add_custom_command(OUTPUT ${header}
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${dir}/${name}.1.md -DOUTPUT=${header}
            "-DSECTIONS=${sections}" -P ${PROJECT_SOURCE_DIR}/cmake/help-text.cmake
    DEPENDS ${dir}/${name}.1.md ${PROJECT_SOURCE_DIR}/cmake/help-text.cmake
    COMMENT "Making the --help text of ${name}" VERBATIM)
  target_sources(${target} PRIVATE ${header})
  target_include_directories(${target} PRIVATE ${out})
endfunction()
