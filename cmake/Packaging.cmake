# The Debian package: `cpack -G DEB` in a build directory configured with
# -DCMAKE_INSTALL_PREFIX=/usr. Everything in it comes from the install rules; this file adds the
# copyright file and the control metadata.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "larderbox developers <larderbox@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The extended description; CPack puts the summary above it as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "larderbox answers to the names curl and wget from a directory early on PATH.
When LARDERBOX_SERVER names a cache server that holds the requested URL, the
download comes from the cache; otherwise the real tool runs unchanged.
larderbox-fill and larderbox-path fill a directory that a static HTTP server
such as nginx serves as that cache; larderbox-cache learns entries from the
server's misses, refreshes, prunes and reports on it.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Both executables are static and the scripts need no library: nothing for dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
# The shim hands every call to a real tool; larderbox-fill and larderbox-cache download with curl,
# and larderbox-cache is a Python program.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "curl, python3")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nginx-light | nginx")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Directories the package creates get 0755 whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

include(CPack)
