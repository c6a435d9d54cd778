# Run by cpack after staging, before the packages are made: removes the .comment and .note
# sections (compiler identification) from the programs, which the symbol stripping keeps.
file(GLOB_RECURSE programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER programs INCLUDE REGEX "/bin/[^/]+$")
foreach(program IN LISTS programs)
  execute_process(
    COMMAND ${CPACK_KELVANE_STRIP} --remove-section=.comment --remove-section=.note ${program}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
