# Install rules of both programs and of what goes with them. On Linux: the
# programs under bin/, the desktop entry, hicolor icons, AppStream metainfo,
# manual pages and the documents under share/. On Windows: one folder that
# runs where it is put, with the DLLs and Qt plugins the programs load.
# CPack (cmake/packaging.cmake) packs the same tree.
include(GNUInstallDirs)

# The release the version in project() names: the metainfo's release entry,
# the manual pages and the Debian changelog carry it.
set(QUORVANE_RELEASE_DATE 2026-12-08)
set(QUORVANE_RELEASE_TIME "Tue, 08 Dec 2026 12:00:00 +0000")
set(QUORVANE_MAINTAINER "Quorvane Rarev developers <developers@quorvane-rarev.invalid>"
    CACHE STRING "The package's maintainer, as the Debian control file names it")
# Where the project's pages, and the metainfo's screenshot, are published.
set(QUORVANE_HOMEPAGE "https://quorvane-rarev.invalid"
    CACHE STRING "The project's home page")

# Both programs print the version for --version.
target_compile_definitions(quorvane-rarev PRIVATE QUORVANE_VERSION="${PROJECT_VERSION}")
# Scripts read the version from the build tree.
file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/version.txt" CONTENT "${PROJECT_VERSION}\n")

set(quorvane_packaging "${PROJECT_SOURCE_DIR}/packaging")
set(quorvane_generated "${PROJECT_BINARY_DIR}/packaging")

if(WIN32)
    include("${CMAKE_CURRENT_LIST_DIR}/install-windows.cmake")
    return()
endif()

set(quorvane_docdir "${CMAKE_INSTALL_DATADIR}/doc/quorvane-rarev")
set(quorvane_linux "${quorvane_packaging}/linux")
install(TARGETS quorvane-rarev quorvane-batch RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

install(FILES "${quorvane_linux}/quorvane-rarev.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
foreach(size 48 128 256)
    install(FILES "${quorvane_linux}/icons/quorvane-rarev-${size}.png"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps"
            RENAME quorvane-rarev.png)
endforeach()
install(FILES "${quorvane_linux}/icons/quorvane-rarev.svg"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")

set(quorvane_metainfo "${quorvane_generated}/invalid.quorvane.Rarev.metainfo.xml")
configure_file("${quorvane_linux}/quorvane-rarev.metainfo.xml.in" "${quorvane_metainfo}" @ONLY)
install(FILES "${quorvane_metainfo}" DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")

# The manual pages and the changelog, configured with the version and
# compressed as Debian wants them (gzip -9n: no name, no time stamp, so the
# same bytes every build).
set(quorvane_compressed)
function(quorvane_gzip template output)
    configure_file("${template}" "${quorvane_generated}/${output}" @ONLY)
    add_custom_command(OUTPUT "${quorvane_generated}/${output}.gz"
                       COMMAND sh -c "gzip -9n -c '${output}' > '${output}.gz'"
                       DEPENDS "${quorvane_generated}/${output}"
                       WORKING_DIRECTORY "${quorvane_generated}" VERBATIM)
    set(quorvane_compressed ${quorvane_compressed} "${quorvane_generated}/${output}.gz"
        PARENT_SCOPE)
endfunction()
foreach(page quorvane-batch quorvane-rarev)
    quorvane_gzip("${quorvane_linux}/man/${page}.1.in" "${page}.1")
    install(FILES "${quorvane_generated}/${page}.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endforeach()
quorvane_gzip("${quorvane_linux}/changelog.in" changelog)
add_custom_target(quorvane-packaging-files ALL DEPENDS ${quorvane_compressed})

configure_file("${quorvane_linux}/copyright.in" "${quorvane_generated}/copyright" @ONLY)
install(FILES README.md LICENSE "${quorvane_generated}/copyright" "${quorvane_generated}/changelog.gz"
        DESTINATION "${quorvane_docdir}")
# README.md shows the screenshot from docs/.
install(FILES docs/screenshot.png DESTINATION "${quorvane_docdir}/docs")
