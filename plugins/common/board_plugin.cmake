# quarix_add_board_plugin(<target> <sources>...): a board plugin library built
# into boards/ beside the server. Only its entry points leave it: hidden
# visibility, and the version script exports.map of the calling folder
# (hidden visibility alone still lets weak instantiations of standard library
# templates through). Standard library and threads only, no Qt, no moc.
function(quarix_add_board_plugin target)
    find_package(Threads REQUIRED)   # its imported target is seen in the caller's folder only
    add_library(${target} SHARED ${ARGN})
    target_link_libraries(${target} PRIVATE Threads::Threads)
    set_target_properties(${target} PROPERTIES
        LIBRARY_OUTPUT_DIRECTORY ${QUARIX_BOARDS_DIR}
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        AUTOMOC OFF
    )
    set(map ${CMAKE_CURRENT_SOURCE_DIR}/exports.map)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()
