# quarix_add_subfolders([<result variable>]): add_subdirectory() for every
# sub-folder of the calling folder that has a CMakeLists.txt, in name order,
# so that a new folder joins the build by itself. The folder names found are
# stored in <result variable> of the caller, when one is given.
function(quarix_add_subfolders)
    file(GLOB entries LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
    list(SORT entries)
    set(folders "")
    foreach(dir ${entries})
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
            add_subdirectory(${dir})
            list(APPEND folders ${dir})
        endif()
    endforeach()
    if(ARGC GREATER 0)
        set(${ARGV0} ${folders} PARENT_SCOPE)
    endif()
endfunction()
