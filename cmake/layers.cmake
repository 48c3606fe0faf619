# Each layer is one target and sees only its own headers and those of the
# layers it links. A layer's headers are linked one by one into an include
# root of its own in the build tree, include/<target>/, under the names they
# have below src/ ("wav/format/header.h"); that root is the only include
# folder the target exposes, so an include that reaches a layer above, or a
# neighbour it does not link, is not found.

# quorvane_layer(<target> <folder below src> [HEADERS <file>...])
# Without HEADERS the target owns every header of the folder that no other
# target of the same folder names.
function(quorvane_layer target folder)
    cmake_parse_arguments(ARG "" "" "HEADERS" ${ARGN})
    get_target_property(type ${target} TYPE)
    set(scope PUBLIC)
    if(type STREQUAL "EXECUTABLE")
        set(scope PRIVATE)
    endif()
    target_include_directories(${target} ${scope} ${CMAKE_BINARY_DIR}/include/${target})
    set_property(GLOBAL APPEND PROPERTY QUORVANE_LAYERS ${target})
    set_property(GLOBAL PROPERTY QUORVANE_LAYER_FOLDER_${target} ${folder})
    set(headers)
    foreach(header IN LISTS ARG_HEADERS)
        list(APPEND headers ${folder}/${header})
    endforeach()
    set_property(GLOBAL PROPERTY QUORVANE_LAYER_HEADERS_${target} ${headers})
    set_property(GLOBAL APPEND PROPERTY QUORVANE_NAMED_HEADERS ${headers})
endfunction()

# Makes the include roots of all layers afresh; called once every layer is
# defined.
function(quorvane_make_include_roots)
    set(src ${PROJECT_SOURCE_DIR}/src)
    get_property(layers GLOBAL PROPERTY QUORVANE_LAYERS)
    get_property(named GLOBAL PROPERTY QUORVANE_NAMED_HEADERS)
    foreach(target IN LISTS layers)
        get_property(folder GLOBAL PROPERTY QUORVANE_LAYER_FOLDER_${target})
        get_property(headers GLOBAL PROPERTY QUORVANE_LAYER_HEADERS_${target})
        if(NOT headers)
            file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${src} ${src}/${folder}/*.h)
            if(named)
                list(REMOVE_ITEM headers ${named})
            endif()
        endif()
        set(root ${CMAKE_BINARY_DIR}/include/${target})
        file(REMOVE_RECURSE ${root})
        file(MAKE_DIRECTORY ${root}/${folder})
        foreach(header IN LISTS headers)
            if(NOT EXISTS ${src}/${header})
                message(FATAL_ERROR "${target}: no header src/${header}")
            endif()
            file(CREATE_LINK ${src}/${header} ${root}/${header} SYMBOLIC)
        endforeach()
    endforeach()
endfunction()
