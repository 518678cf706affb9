# CLI11 and nlohmann-json, both header-only. A native build takes Debian's packages as they are;
# a cross build takes the same headers through a folder of its own that holds only them, so that
# the target's compiler never sees the build machine's /usr/include.
include_guard(GLOBAL)

if(NOT CMAKE_CROSSCOMPILING)
    find_package(CLI11 CONFIG REQUIRED GLOBAL)
    find_package(nlohmann_json 3 REQUIRED GLOBAL)
    return()
endif()

set(VORTLINK_HOST_HEADERS /usr/include CACHE PATH
    "Where the build machine keeps the CLI and nlohmann header folders")
set(header_folder ${CMAKE_BINARY_DIR}/header_libraries)
foreach(library CLI nlohmann)
    if(NOT EXISTS ${VORTLINK_HOST_HEADERS}/${library})
        message(FATAL_ERROR "No ${VORTLINK_HOST_HEADERS}/${library}: install libcli11-dev and nlohmann-json3-dev")
    endif()
    file(MAKE_DIRECTORY ${header_folder})
    file(CREATE_LINK ${VORTLINK_HOST_HEADERS}/${library} ${header_folder}/${library} SYMBOLIC)
endforeach()
add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${header_folder})
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${header_folder})
