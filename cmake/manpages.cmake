# Manual pages, installed gzip-compressed as Debian installs them. A program's page is made with
# help2man from its own --help and --version, so the two cannot drift apart.
find_program(VORTLINK_HELP2MAN help2man)
find_program(VORTLINK_GZIP gzip)
if(VORTLINK_SANITIZE)
    set(manpages_default OFF) # running sanitized programs at build time proves nothing here
elseif(VORTLINK_HELP2MAN AND VORTLINK_GZIP)
    set(manpages_default ON)
else()
    set(manpages_default OFF)
endif()
option(VORTLINK_MANPAGES "Build and install the manual pages (needs help2man and gzip)"
       ${manpages_default})
if(VORTLINK_MANPAGES AND NOT (VORTLINK_HELP2MAN AND VORTLINK_GZIP))
    message(FATAL_ERROR "VORTLINK_MANPAGES needs help2man and gzip")
endif()

# vortlink_program_manpage(TARGET SUMMARY COMPONENT [INCLUDE FILE]): TARGET(1) from TARGET --help;
# FILE, a help2man include file made from the program as well, adds sections.
function(vortlink_program_manpage target summary component)
    cmake_parse_arguments(PARSE_ARGV 3 page "" "INCLUDE" "")
    if(NOT VORTLINK_MANPAGES)
        return()
    endif()
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1.gz)
    add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DNAME=${target} -DSECTION=1
                "-DSUMMARY=${summary}" "-DMANUAL=Quorrel controller software" -DOUTPUT=${page}
                "-DINCLUDE=${page_INCLUDE}" -P ${PROJECT_SOURCE_DIR}/cmake/help2man.cmake
        DEPENDS ${target} ${PROJECT_SOURCE_DIR}/cmake/help2man.cmake ${page_INCLUDE}
        COMMENT "Writing the manual page ${target}(1)"
        VERBATIM)
    add_custom_target(${target}-manpage ALL DEPENDS ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# vortlink_install_manpage(SOURCE SECTION COMPONENT): a page written by hand, compressed.
function(vortlink_install_manpage source section component)
    if(NOT VORTLINK_MANPAGES)
        return()
    endif()
    get_filename_component(name ${source} NAME)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
    add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${CMAKE_CURRENT_BINARY_DIR}/${name}
        COMMAND ${VORTLINK_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/${name}
        DEPENDS ${source}
        COMMENT "Compressing the manual page ${name}"
        VERBATIM)
    add_custom_target(${name}-manpage ALL DEPENDS ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
