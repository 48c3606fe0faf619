# Packages that CPack makes from the install rules (cmake/install.cmake), into
# the build tree; scripts/linux/package and scripts/windows/package move them
# into dist/:
#   Linux    cpack -G DEB      quorvane-rarev_<version>_amd64.deb
#   Windows  cpack -G ZIP      quorvane-rarev-<version>-windows-x64.zip
#            cpack -G NSIS64   quorvane-rarev-<version>-setup.exe
# (cmake/cpack-names.cmake gives each its name).
set(CPACK_PACKAGE_NAME quorvane-rarev)
set(CPACK_PACKAGE_VENDOR "The Quorvane Rarev developers")
set(CPACK_PACKAGE_CONTACT "${QUORVANE_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${QUORVANE_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find a known waveform in a long recorded signal")
set(CPACK_PACKAGE_DESCRIPTION
    "Quorvane Rarev band-pass filters a recording (a WAV file of 32-bit samples
at 16384 Hz) through a nine-stage FIR cascade, correlates the filtered
signal with a template, and shows where the template's shape occurs, with
a close-up of the best match.

The package holds the desktop application, quorvane-rarev, and the same
two passes as a command-line program for many recordings and for scripts,
quorvane-batch.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cpack-names.cmake")

# Debian: the libraries' packages from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Windows: the project's installer script as CPack's NSIS template.
set(CPACK_MODULE_PATH "${PROJECT_SOURCE_DIR}/packaging/windows")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Quorvane Rarev")
set(CPACK_NSIS_QUORVANE_ICON "${PROJECT_SOURCE_DIR}/packaging/windows/quorvane-rarev.ico")
set(CPACK_NSIS_QUORVANE_MUTEX "${QUORVANE_RUNNING_MUTEX}")

include(CPack)
