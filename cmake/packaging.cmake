# Debian packages, made with CPack (scripts/package): the library's runtime and -dev packages as
# Debian splits its own libraries, and one package for each group of programs.
#
#   component    package              contents
#   runtime      libvortlink<SONAME>  the library, ecodes.ini, the udev rule
#   development  libvortlink-dev      vortlink.h, libvortlink.so, vortlink.pc, CMake files, vortlink(3)
#   tools        quorrel-tools        quorrelctl, quorrel-sim, their manual pages, bash completion
#   loader       quorrel-loader       QuorrelLoader, its manual page, menu entry, icon, metainfo
set(vortlink_runtime_package libvortlink${PROJECT_VERSION_MAJOR})
set(vortlink_packages
    runtime ${vortlink_runtime_package}
    development libvortlink-dev
    tools quorrel-tools
    loader quorrel-loader)
# The Python binding, when the tree has one (python/, installed as component "python"): an
# architecture-independent package that loads the library by its SONAME.
if(EXISTS ${PROJECT_SOURCE_DIR}/python/CMakeLists.txt)
    list(APPEND vortlink_packages python python3-vortlink)
endif()
set(VORTLINK_PACKAGE_MAINTAINER "Kestrova Quorrel software <quorrel-software@kestrova.example>"
    CACHE STRING "Maintainer field of the Debian packages")

# Every package carries the copyright file and the compressed changelog in its doc directory.
find_program(VORTLINK_GZIP gzip)
set(vortlink_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${vortlink_changelog}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
            ${CMAKE_BINARY_DIR}/packaging/changelog
    COMMAND ${VORTLINK_GZIP} -9nf ${CMAKE_BINARY_DIR}/packaging/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
    COMMENT "Compressing the changelog"
    VERBATIM)
add_custom_target(vortlink-changelog ALL DEPENDS ${vortlink_changelog})
set(vortlink_components)
while(vortlink_packages)
    list(POP_FRONT vortlink_packages component package)
    list(APPEND vortlink_components ${component})
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${vortlink_changelog}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vortlink)
set(CPACK_PACKAGE_VENDOR Kestrova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VORTLINK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL ${vortlink_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/strip_packages.cmake)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Dependencies on other packages come from dpkg-shlibdeps; on our own library, from the
# component dependencies below (the library is found in the build tree, not installed).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/library)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_LOADER_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON) # only the runtime package has a shared library
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The symbols file names the release that brought each export (exports_test keeps it complete);
# the ldconfig trigger instead of ldconfig calls; the maintainer scripts refresh udev's view of
# connected controllers when the rule comes or goes.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/libvortlink/symbols
    ${PROJECT_SOURCE_DIR}/packaging/debian/libvortlink/triggers
    ${PROJECT_SOURCE_DIR}/packaging/debian/libvortlink/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/libvortlink/postrm)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "command-set library for the Quorrel LED strobe controller
libvortlink drives Quorrel LED strobe controllers over USB (HID, through
hidraw) and over Ethernet (TCP) with a plain C API of tkcmdset_*
functions: identity and status, self-tests, I/O, memory and EEPROM
blocks, pulse, trigger and supply settings, thermal limit queries and
the lighthead data record.
.
This package contains the shared library, its error catalogue and a udev
rule that gives the logged-in user access to connected controllers.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "command-set library for the Quorrel LED strobe controller (development files)
libvortlink drives Quorrel LED strobe controllers over USB (HID, through
hidraw) and over Ethernet (TCP) with a plain C API of tkcmdset_*
functions.
.
This package contains the header vortlink.h, the pkg-config and CMake
files and the manual page vortlink(3).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "command-line tool and simulator for Quorrel LED strobe controllers
quorrelctl does from a shell what QuorrelLoader does in its window: it
lists and identifies controllers, programs firmware, writes the
manufacturing, configuration and lighthead data, runs the self-tests and
reads or changes every setting of the command set, over USB or TCP, with
JSON output for production lines.
.
quorrel-sim simulates controllers on TCP and on a simulated USB bus, for
development and tests without hardware.")

set(CPACK_DEBIAN_LOADER_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_LOADER_DESCRIPTION
    "production and service utility for Quorrel LED strobe controllers
QuorrelLoader selects a Quorrel controller on the USB bus, shows its
identity, switches it between boot loader and application, programs
application firmware from S-record files, writes the manufacturing and
configuration blocks, edits the lighthead's LED data and runs the
controller's self-tests.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3")
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
    "Python binding of the Quorrel LED strobe controller's command-set library
The vortlink module reaches every function of libvortlink through ctypes:
a program opens a controller over USB or TCP and issues the controller's
commands from Python, with the library's status codes raised as
exceptions that carry the catalogue's name and explanation.")

include(CPack)
