# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE): the file names
# of the Windows packages. The zip unpacks into quorvane-rarev-<version>/
# (scripts/windows/package adds -windows-x64 to the zip's name).
if(CPACK_GENERATOR MATCHES "^NSIS")
    set(CPACK_PACKAGE_FILE_NAME "quorvane-rarev-${CPACK_PACKAGE_VERSION}-setup")
elseif(CPACK_GENERATOR STREQUAL "ZIP")
    set(CPACK_PACKAGE_FILE_NAME "quorvane-rarev-${CPACK_PACKAGE_VERSION}")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
