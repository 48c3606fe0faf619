# The compiler options every target of the project is built with, as one
# interface target rather than global options: warnings (errors under
# QUORVANE_WERROR), the floating-point rule the equivalence tests rely on,
# the sanitizers under QUORVANE_SANITIZE. quorvane_link_options() links it
# into every target once all are defined.
add_library(quorvane_options INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(quorvane_options INTERFACE -Wall -Wextra
                           $<$<BOOL:${QUORVANE_WERROR}>:-Werror>)
    # Floating-point results must not depend on whether the compiler fuses
    # multiply-adds: the fast passes are compared with the literal ones.
    target_compile_options(quorvane_options INTERFACE -ffp-contract=off)
    if(QUORVANE_SANITIZE)
        target_compile_options(quorvane_options INTERFACE -fsanitize=address,undefined
                               -fno-sanitize-recover=all -fno-omit-frame-pointer)
        target_link_options(quorvane_options INTERFACE -fsanitize=address,undefined)
    endif()
endif()
if(WIN32)
    # M_PI and friends: the C runtime's headers keep them behind this macro.
    target_compile_definitions(quorvane_options INTERFACE _USE_MATH_DEFINES)
endif()

# Links quorvane_options into every library and program defined in `dir`
# and the folders below it.
function(quorvane_link_options dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$")
            target_link_libraries(${target} PRIVATE quorvane_options)
        endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(subdir IN LISTS subdirs)
        quorvane_link_options(${subdir})
    endforeach()
endfunction()
