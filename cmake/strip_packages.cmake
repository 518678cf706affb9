# Run by CPack on the staged files before it packs them: takes out of every ELF file the
# sections Debian's packages do without, as dh_strip does (.comment and .note; the build ID in
# .note.gnu.build-id stays).
find_program(strip_program strip REQUIRED)
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS staged)
    if(IS_SYMLINK "${file}")
        continue()
    endif()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
        execute_process(COMMAND "${strip_program}" --remove-section=.comment --remove-section=.note
                                "${file}"
                        RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "strip ${file} failed")
        endif()
    endif()
endforeach()
