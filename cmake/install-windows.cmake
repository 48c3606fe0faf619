# Install rules on Windows, included by cmake/install.cmake: one folder that
# runs where it is put. Both programs, the Qt plugins they use, README.txt and
# LICENSE.txt at the top, and the DLLs they import, found at install time
# (cmake/deploy-windows.cmake) by following the imports of every program and
# plugin, as windeployqt would.

# Qt's DLLs and plugins sit in one prefix; FFTW's and the compiler's runtime
# DLLs in their own (in the cross toolchain, all in one).
get_target_property(quorvane_qtcore Qt5::Core IMPORTED_LOCATION_RELEASE)
if(NOT quorvane_qtcore)
    get_target_property(quorvane_qtcore Qt5::Core LOCATION)
endif()
get_filename_component(quorvane_qtbin "${quorvane_qtcore}" DIRECTORY)
get_filename_component(quorvane_qtplugins "${quorvane_qtbin}/../plugins" ABSOLUTE)
get_filename_component(quorvane_compilerbin "${CMAKE_CXX_COMPILER}" DIRECTORY)
set(quorvane_dll_dirs "${quorvane_qtbin}" "${FFTW3_PREFIX}/bin" "${quorvane_compilerbin}")

install(TARGETS quorvane-rarev quorvane-batch RUNTIME DESTINATION .)

# Both platforms (the batch program draws offscreen), the Windows styles, the
# image formats, and what Qt Multimedia loads for audio.
set(quorvane_plugins
    platforms/qwindows.dll platforms/qoffscreen.dll styles/qwindowsvistastyle.dll
    imageformats/qgif.dll imageformats/qico.dll imageformats/qjpeg.dll
    audio/qtaudio_windows.dll mediaservice/dsengine.dll mediaservice/qtmedia_audioengine.dll
    playlistformats/qtmultimedia_m3u.dll)
foreach(plugin IN LISTS quorvane_plugins)
    if(NOT EXISTS "${quorvane_qtplugins}/${plugin}")
        message(FATAL_ERROR "missing Qt plugin: ${quorvane_qtplugins}/${plugin}")
    endif()
    get_filename_component(folder "${plugin}" DIRECTORY)
    install(FILES "${quorvane_qtplugins}/${plugin}" DESTINATION "${folder}")
endforeach()

install(CODE "
set(QUORVANE_OBJDUMP \"${CMAKE_OBJDUMP}\")
set(QUORVANE_STRIP \"${CMAKE_STRIP}\")
set(QUORVANE_DLL_DIRS \"${quorvane_dll_dirs}\")
set(QUORVANE_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
set(QUORVANE_REQUIRED_DLLS libfftw3-3.dll libstdc++-6.dll libgcc_s_seh-1.dll
    libwinpthread-1.dll Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll Qt5Multimedia.dll)
")
install(SCRIPT "${CMAKE_CURRENT_LIST_DIR}/deploy-windows.cmake")
