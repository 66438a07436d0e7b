# Run at install time: writes the systemd unit template with the daemon's installed
# path. Expects QRNGD_UNIT_TEMPLATE, QRNGD_SBINDIR and QRNGD_UNITDIR (both relative
# to CMAKE_INSTALL_PREFIX or absolute); honours DESTDIR.
foreach(dir QRNGD_SBINDIR QRNGD_UNITDIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
set(QRNGD_SBIN "${QRNGD_SBINDIR}")
file(READ "${QRNGD_UNIT_TEMPLATE}" unit)
string(CONFIGURE "${unit}" unit @ONLY)
set(unit_path "${QRNGD_UNITDIR}/qrngd@.service")
message(STATUS "Installing: $ENV{DESTDIR}${unit_path}")
file(WRITE "$ENV{DESTDIR}${unit_path}" "${unit}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit_path}")
