# The Debian package: `cpack -G DEB` in any build directory. cpack installs the project again for
# the package, with the prefix /usr whatever prefix the build was configured with (every install
# rule names a directory relative to the prefix, or decides at install time; see
# InstallServices.cmake), so the package holds /usr and /etc only. This file adds what Debian wants
# beside the programs: copyright, changelog, lintian overrides, services, control metadata.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})

# The changelog carries the project's one version, so a version bump without its entry stops here.
file(STRINGS ${PROJECT_SOURCE_DIR}/contrib/debian/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^${PROJECT_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "contrib/debian/changelog does not begin with an entry for version "
                      "${PROJECT_VERSION}: add one")
endif()
set(changelog ${PROJECT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND sh -c "mkdir -p \"$(dirname \"$2\")\" && gzip -9 -n -c \"$1\" > \"$2\"" gzip
          ${PROJECT_SOURCE_DIR}/contrib/debian/changelog ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/contrib/debian/changelog
  VERBATIM)
add_custom_target(larderbox_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})
install(FILES ${PROJECT_SOURCE_DIR}/contrib/debian/larderbox.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${PROJECT_NAME})

install(CODE "set(LARDERBOX_SERVICES_SOURCE \"${PROJECT_SOURCE_DIR}/contrib/systemd\")
              set(LARDERBOX_SERVICES_STAGING \"${PROJECT_BINARY_DIR}/services\")")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/InstallServices.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "larderbox developers <developers@larderbox.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The extended description; CPack puts the summary above it as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "larderbox answers to the names curl and wget from a directory early on PATH.
When LARDERBOX_SERVER names a cache server that holds the requested URL, the
download comes from the cache; otherwise the real tool runs unchanged.
larderbox-fill and larderbox-path fill a directory that a static HTTP server
such as nginx serves as that cache; larderbox-cache learns entries from the
server's misses, refreshes, prunes and reports on it, and comes with systemd
services to run it (installed, not enabled).")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Both executables are static and the scripts need no library: nothing for dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
# The shim hands every call to a real tool; larderbox-fill and larderbox-cache download with curl,
# and larderbox-cache is a Python program.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "curl, python3")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nginx-light | nginx, wget")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The settings file is the administrator's; the scripts create the services' user and keep the
# shim directory's links, which the triggers on the real tools' files bring up to date.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/contrib/debian/conffiles
                                       ${PROJECT_SOURCE_DIR}/contrib/debian/postinst
                                       ${PROJECT_SOURCE_DIR}/contrib/debian/postrm
                                       ${PROJECT_SOURCE_DIR}/contrib/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Directories the package creates get 0755 whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

include(CPack)
