# Install step on Windows (cmake/install-windows.cmake sets the QUORVANE_*
# variables): copies the DLLs that the installed programs and plugins import
# and QUORVANE_DLL_DIRS provide, and theirs in turn; system DLLs (kernel32,
# user32, ...) are in none of those folders. Then strips the debug sections of
# every program and DLL, and writes README.txt and LICENSE.txt with Windows
# line ends.
set(quorvane_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

# The DLL named NAME in one of QUORVANE_DLL_DIRS, whatever the case of its
# letters, or "" where none has it.
function(quorvane_find_dll name result)
    string(TOLOWER "${name}" wanted)
    foreach(dir IN LISTS QUORVANE_DLL_DIRS)
        file(GLOB candidates "${dir}/*.dll" "${dir}/*.DLL")
        foreach(candidate IN LISTS candidates)
            get_filename_component(file "${candidate}" NAME)
            string(TOLOWER "${file}" file)
            if(file STREQUAL wanted)
                set(${result} "${candidate}" PARENT_SCOPE)
                return()
            endif()
        endforeach()
    endforeach()
    set(${result} "" PARENT_SCOPE)
endfunction()

set(quorvane_deployed)
function(quorvane_deploy_imports binary)
    execute_process(COMMAND "${QUORVANE_OBJDUMP}" -p "${binary}" OUTPUT_VARIABLE dump
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${QUORVANE_OBJDUMP} could not read ${binary}")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
    foreach(line IN LISTS imports)
        string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
        string(STRIP "${dll}" dll)
        string(TOLOWER "${dll}" lower)
        list(FIND quorvane_deployed "${lower}" seen)
        if(seen GREATER -1)
            continue()
        endif()
        quorvane_find_dll("${dll}" found)
        if(NOT found)
            continue()
        endif()
        list(APPEND quorvane_deployed "${lower}")
        set(quorvane_deployed "${quorvane_deployed}" PARENT_SCOPE)
        get_filename_component(name "${found}" NAME)
        file(INSTALL "${found}" DESTINATION "${quorvane_root}")
        quorvane_deploy_imports("${quorvane_root}/${name}")
        set(quorvane_deployed "${quorvane_deployed}" PARENT_SCOPE)
    endforeach()
endfunction()

file(GLOB_RECURSE quorvane_binaries "${quorvane_root}/*.exe" "${quorvane_root}/*.dll")
foreach(binary IN LISTS quorvane_binaries)
    quorvane_deploy_imports("${binary}")
endforeach()
foreach(dll IN LISTS QUORVANE_REQUIRED_DLLS)
    if(NOT EXISTS "${quorvane_root}/${dll}")
        message(FATAL_ERROR "not deployed: ${dll}")
    endif()
endforeach()

# What ships carries no debug sections: the toolchain's DLLs keep theirs
# (libstdc++ alone would be 24 MB), and the programs are built with them.
file(GLOB_RECURSE quorvane_shipped "${quorvane_root}/*.exe" "${quorvane_root}/*.dll")
foreach(binary IN LISTS quorvane_shipped)
    execute_process(COMMAND "${QUORVANE_STRIP}" --strip-debug "${binary}" RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${QUORVANE_STRIP} could not strip ${binary}")
    endif()
endforeach()

foreach(pair README.md:README.txt LICENSE:LICENSE.txt)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    file(READ "${QUORVANE_SOURCE_DIR}/${from}" text)
    string(REPLACE "\n" "\r\n" text "${text}")
    message(STATUS "Installing: ${quorvane_root}/${to}")
    file(WRITE "${quorvane_root}/${to}" "${text}")
endforeach()
