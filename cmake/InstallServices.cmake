# Installs the cache services for the prefix in force at install time, which for cpack is /usr
# whatever the build was configured with: the units in P/lib/systemd/system and their system user
# in P/lib/sysusers.d, their settings in /etc/default for the prefix /usr and in P/etc/default
# otherwise, and the units naming the settings and P/bin as installed.
# Set by the install code before this script: LARDERBOX_SERVICES_SOURCE, LARDERBOX_SERVICES_STAGING.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(settings_dir /etc/default)
else()
  set(settings_dir "${CMAKE_INSTALL_PREFIX}/etc/default")
endif()
set(LARDERBOX_SETTINGS "${settings_dir}/larderbox-cache")
set(LARDERBOX_BINDIR "${CMAKE_INSTALL_PREFIX}/bin")

set(units "${LARDERBOX_SERVICES_SOURCE}/larderbox-cache-maintain.timer")
foreach(unit larderbox-cache-learn.service larderbox-cache-maintain.service)
  file(READ "${LARDERBOX_SERVICES_SOURCE}/${unit}.in" template)
  file(CONFIGURE OUTPUT "${LARDERBOX_SERVICES_STAGING}/${unit}" CONTENT "${template}" @ONLY)
  list(APPEND units "${LARDERBOX_SERVICES_STAGING}/${unit}")
endforeach()

# file(INSTALL) puts DESTDIR in front of each destination itself, as the generated rules do.
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE FILES ${units})
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/sysusers.d" TYPE FILE
     RENAME larderbox.conf FILES "${LARDERBOX_SERVICES_SOURCE}/larderbox.sysusers")
file(INSTALL DESTINATION "${settings_dir}" TYPE FILE
     RENAME larderbox-cache FILES "${LARDERBOX_SERVICES_SOURCE}/larderbox-cache.default")
