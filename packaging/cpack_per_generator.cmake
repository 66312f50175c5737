# Read by cpack for each generator: the Debian package takes the component
# deb under /usr, the archive the component portable at its top.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_COMPONENTS_ALL deb)
    if(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
        # Cross-built: dpkg-shlibdeps resolves the Depends against the
        # libraries of the package's architecture.
        set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
    endif()
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(CPACK_GENERATOR STREQUAL "TGZ")
    set(CPACK_COMPONENTS_ALL portable)
    set(CPACK_PACKAGING_INSTALL_PREFIX "")
    set(CPACK_PACKAGE_FILE_NAME ${CPACK_ARCHIVE_FILE_NAME})
    # Unpacked, it is one folder named after the file.
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
