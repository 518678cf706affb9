# cmake -Dprefix=PREFIX -P remove_shared_segments.cmake: removes the library's shared state whose
# name starts with PREFIX, in /dev/shm and in the user's runtime directory, and says what it
# removed.
if(NOT prefix)
    message(FATAL_ERROR "usage: cmake -Dprefix=PREFIX -P remove_shared_segments.cmake")
endif()
set(removed 0)
foreach(directory /dev/shm $ENV{XDG_RUNTIME_DIR})
    file(GLOB leftovers LIST_DIRECTORIES false "${directory}/${prefix}*")
    if(leftovers)
        file(REMOVE ${leftovers})
        list(LENGTH leftovers count)
        math(EXPR removed "${removed} + ${count}")
    endif()
endforeach()
message(STATUS "removed ${removed} shared-state objects named ${prefix}*")
