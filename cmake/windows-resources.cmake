# What makes a program a Windows program of this project: the icon,
# VERSIONINFO from the project's version, the manifest
# (packaging/windows/program.manifest), and the name of the mutex that a
# running program holds so that setup and uninstall wait for it
# (QUORVANE_RUNNING_MUTEX, the installer's CPACK_NSIS_QUORVANE_MUTEX).
#   quorvane_windows_program(<target> "<description>")
set(QUORVANE_RUNNING_MUTEX "QuorvaneRarevRunning")
if(WIN32)
    enable_language(RC)
endif()

function(quorvane_windows_program target description)
    if(NOT WIN32)
        return()
    endif()
    set(QUORVANE_RC_NAME "${target}")
    set(QUORVANE_RC_DESCRIPTION "${description}")
    set(QUORVANE_RC_ICON "${PROJECT_SOURCE_DIR}/packaging/windows/quorvane-rarev.ico")
    set(QUORVANE_RC_MANIFEST "${PROJECT_SOURCE_DIR}/packaging/windows/program.manifest")
    set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
    configure_file("${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in" "${rc}" @ONLY)
    target_sources(${target} PRIVATE "${rc}")
    target_compile_definitions(${target} PRIVATE
        QUORVANE_RUNNING_MUTEX=L"${QUORVANE_RUNNING_MUTEX}")
endfunction()
