# Run at install time: writes the systemd units, the daemon's template with the
# daemon's installed path. Expects QRNGD_UNIT_FILES (unit sources: one ending in
# .in is configured and installed without that suffix, any other copied as it
# is), QRNGD_SBINDIR and QRNGD_UNITDIR (both relative to CMAKE_INSTALL_PREFIX or
# absolute); honours DESTDIR.
foreach(dir QRNGD_SBINDIR QRNGD_UNITDIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
set(QRNGD_SBIN "${QRNGD_SBINDIR}")
foreach(source IN LISTS QRNGD_UNIT_FILES)
  get_filename_component(name "${source}" NAME)
  file(READ "${source}" unit)
  if(name MATCHES "\\.in$")
    string(REGEX REPLACE "\\.in$" "" name "${name}")
    string(CONFIGURE "${unit}" unit @ONLY)
  endif()
  set(unit_path "${QRNGD_UNITDIR}/${name}")
  message(STATUS "Installing: $ENV{DESTDIR}${unit_path}")
  file(WRITE "$ENV{DESTDIR}${unit_path}" "${unit}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit_path}")
endforeach()
