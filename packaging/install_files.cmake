# Runs at install time (from cmake_install.cmake): generates the configuration files from their
# templates with the prefix in force now, and installs them. See CMakeLists.txt beside it.

set(KIV_SBINDIR "${CMAKE_INSTALL_PREFIX}/sbin")
set(KIV_STATE_DIR "/var/lib/${KIV_STATE_DIR_NAME}")
# The service's runtime directory (the unit's RuntimeDirectory), which holds its socket.
set(KIV_RUNTIME_DIR "/run/${KIV_STATE_DIR_NAME}")
set(unitdir "${KIV_SYSTEMD_UNITDIR}")
if(NOT IS_ABSOLUTE "${unitdir}")
  set(unitdir "${CMAKE_INSTALL_PREFIX}/${unitdir}")
endif()
set(generated "${KIV_PACKAGING_BINARY_DIR}/generated")

# file(INSTALL) skips a file whose modification time is within a second of its source's, whatever
# it holds; a target whose content differs from the source is therefore removed first, so that it
# is always replaced.
function(kiv_drop_if_different source target)
  if(EXISTS "${target}")
    file(READ "${target}" current)
    file(READ "${source}" fresh)
    if(NOT current STREQUAL fresh)
      file(REMOVE "${target}")
    endif()
  endif()
endfunction()

# Installs a file that is replaced on every install.
function(kiv_install_generated template directory name)
  configure_file("${KIV_PACKAGING_SOURCE_DIR}/${template}" "${generated}/${name}" @ONLY)
  kiv_drop_if_different("${generated}/${name}" "$ENV{DESTDIR}${directory}/${name}")
  file(INSTALL DESTINATION "${directory}" TYPE FILE FILES "${generated}/${name}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

# Installs a settings file; one that exists with other content stays, and the new version goes
# beside it as NAME.dist.
function(kiv_install_settings template directory name)
  configure_file("${KIV_PACKAGING_SOURCE_DIR}/${template}" "${generated}/${name}" @ONLY)
  set(target "$ENV{DESTDIR}${directory}/${name}")
  set(install_name "${name}")
  if(EXISTS "${target}")
    file(READ "${target}" current)
    file(READ "${generated}/${name}" fresh)
    if(NOT current STREQUAL fresh)
      set(install_name "${name}.dist")
      message(STATUS "Keeping: ${target} (changed locally; the new version is ${name}.dist)")
    endif()
  endif()
  kiv_drop_if_different("${generated}/${name}" "$ENV{DESTDIR}${directory}/${install_name}")
  file(INSTALL DESTINATION "${directory}" TYPE FILE FILES "${generated}/${name}"
       RENAME "${install_name}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

kiv_install_generated(systemd/kivd.service.in "${unitdir}" kivd.service)
kiv_install_settings(default/kivd.in "${KIV_DEFAULTS_DIR}" kivd)
if(KIV_INSTALL_APACHE_FILES)
  kiv_install_generated(apache2/dav_kiv.load.in "${KIV_APACHE_CONFDIR}/mods-available"
                        dav_kiv.load)
  kiv_install_settings(apache2/dav_kiv.conf.in "${KIV_APACHE_CONFDIR}/mods-available"
                       dav_kiv.conf)
  kiv_install_settings(apache2/kiv-dav.conf.in "${KIV_APACHE_CONFDIR}/sites-available"
                       kiv-dav.conf)
endif()
