# The Windows install tree, the one the MSI and the zip carry (packaging/windows/package.cmake):
# the catalogue beside the DLL, where the library looks for it, the .def file beside the import
# library for linkers that cannot read it, and the example program. Files of the Linux tree that
# mean nothing on Windows (the udev rule, the manual page, share/vortlink) are left out of the
# packages by package.cmake.
install(FILES $<TARGET_FILE_DIR:vortlink>/ecodes.ini DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT runtime)
install(FILES $<TARGET_FILE_DIR:vortlink>/vortlink.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT development)
if(TARGET vortlink-hello)
    install(TARGETS vortlink-hello RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
