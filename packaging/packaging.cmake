# Installation, the systemd unit template, the manual page and the Debian package.
# Included from the top-level CMakeLists.txt.

include(GNUInstallDirs)

option(QRNGD_INSTALL_SIM "Also install the simulated daemon (qrngd-sim) and qrng-verify" OFF)
option(QRNGD_PACKAGING_TESTS "Register the installation and packaging tests with CTest" ON)
set(QRNGD_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd unit, relative to the install prefix or absolute")

set(QRNGD_PKG_SRC ${CMAKE_CURRENT_LIST_DIR})
set(QRNGD_PKG_BIN ${CMAKE_BINARY_DIR}/packaging)

# Debian wants the manual page and the changelog compressed, without a time stamp.
find_program(QRNGD_GZIP gzip)
configure_file(${QRNGD_PKG_SRC}/changelog.in ${QRNGD_PKG_BIN}/changelog @ONLY)
if(QRNGD_GZIP)
  add_custom_command(OUTPUT ${QRNGD_PKG_BIN}/qrngd.8.gz ${QRNGD_PKG_BIN}/changelog.gz
    COMMAND ${QRNGD_GZIP} -9nc ${QRNGD_PKG_SRC}/qrngd.8 > ${QRNGD_PKG_BIN}/qrngd.8.gz
    COMMAND ${QRNGD_GZIP} -9nc ${QRNGD_PKG_BIN}/changelog > ${QRNGD_PKG_BIN}/changelog.gz
    DEPENDS ${QRNGD_PKG_SRC}/qrngd.8 ${QRNGD_PKG_BIN}/changelog
    VERBATIM)
  add_custom_target(qrngd_docs ALL DEPENDS ${QRNGD_PKG_BIN}/qrngd.8.gz ${QRNGD_PKG_BIN}/changelog.gz)
  set(QRNGD_MAN_FILE ${QRNGD_PKG_BIN}/qrngd.8.gz)
  set(QRNGD_CHANGELOG_FILE ${QRNGD_PKG_BIN}/changelog.gz)
else()
  set(QRNGD_MAN_FILE ${QRNGD_PKG_SRC}/qrngd.8)
  set(QRNGD_CHANGELOG_FILE ${QRNGD_PKG_BIN}/changelog)
endif()

# Full RELRO for the installed daemon, as Debian's hardening expects.
target_link_options(qrngd PRIVATE -Wl,-z,relro -Wl,-z,now)

install(TARGETS qrngd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
install(FILES ${QRNGD_MAN_FILE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT daemon)
install(FILES ${QRNGD_PKG_SRC}/copyright ${QRNGD_CHANGELOG_FILE}
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT daemon)

# The daemon's unit names it by its installed path, which is known only at install
# time (cmake --install --prefix, CPack's staging), so the units are written then.
# qrngd-fifo@.socket holds the FIFO open across the daemon's restarts, and
# qrngd-fifo@.service is the no-op service it starts.
install(CODE "
  set(QRNGD_UNIT_FILES \"${QRNGD_PKG_SRC}/qrngd@.service.in;${QRNGD_PKG_SRC}/qrngd-fifo@.socket;${QRNGD_PKG_SRC}/qrngd-fifo@.service\")
  set(QRNGD_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(QRNGD_UNITDIR \"${QRNGD_SYSTEMD_UNITDIR}\")
  include(\"${QRNGD_PKG_SRC}/install_unit.cmake\")
" COMPONENT daemon)

if(QRNGD_INSTALL_SIM)
  install(TARGETS qrngd-sim qrng-verify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator)
endif()

# The Debian package: the production daemon only.
set(CPACK_PACKAGE_NAME qrngd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The qrngd developers")
set(CPACK_PACKAGE_CONTACT "qrngd developers <qrngd@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "daemon streaming a QRNG accelerator board's data into a FIFO")
set(CPACK_PACKAGE_DESCRIPTION
  "qrngd configures an FPGA accelerator board carrying quantum random number
generator chips, reached through the Xilinx XDMA driver, watches its chips
and throughput and streams the board's random data into a named FIFO
(default /dev/qrandom), from which programs such as rngd read it.
One daemon runs per board; the systemd unit template qrngd@.service
starts one per XDMA device prefix, and qrngd-fifo@.socket keeps its FIFO
open while the daemon restarts.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Install with DESTDIR so that the unit names /usr/sbin/qrngd, not the staging tree.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};qrngd;daemon;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "qrngd developers <qrngd@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "rng-tools5")
set(CPACK_GENERATOR DEB)
include(CPack)

if(QRNGD_TESTS AND QRNGD_PACKAGING_TESTS)
  set(t ${CMAKE_CURRENT_SOURCE_DIR}/tests/packaging)
  add_test(NAME Packaging.InstallLayout
           COMMAND bash ${t}/install_layout.sh ${CMAKE_BINARY_DIR} ${QRNGD_INSTALL_SIM})
  add_test(NAME Packaging.UnitVerify COMMAND bash ${t}/unit_verify.sh ${CMAKE_BINARY_DIR})
  add_test(NAME Packaging.ManPage COMMAND bash ${t}/manpage.sh ${QRNGD_PKG_SRC}/qrngd.8)
  # The package is built once (fixture) into a directory of its own, then checked.
  set(deb_dir ${CMAKE_BINARY_DIR}/packaging/deb-test)
  add_test(NAME Packaging.DebBuild COMMAND bash ${t}/deb_package.sh build ${CMAKE_BINARY_DIR} ${deb_dir})
  add_test(NAME Packaging.DebContents COMMAND bash ${t}/deb_package.sh contents ${CMAKE_BINARY_DIR} ${deb_dir})
  add_test(NAME Packaging.DebLintian COMMAND bash ${t}/deb_package.sh lintian ${CMAKE_BINARY_DIR} ${deb_dir})
  add_test(NAME Packaging.DebCleanup COMMAND bash ${t}/deb_package.sh clean ${CMAKE_BINARY_DIR} ${deb_dir})
  set_tests_properties(Packaging.DebBuild PROPERTIES FIXTURES_SETUP qrngd_deb)
  set_tests_properties(Packaging.DebContents Packaging.DebLintian PROPERTIES FIXTURES_REQUIRED qrngd_deb)
  set_tests_properties(Packaging.DebCleanup PROPERTIES FIXTURES_CLEANUP qrngd_deb)
  set_tests_properties(Packaging.InstallLayout Packaging.UnitVerify Packaging.ManPage
                       Packaging.DebBuild Packaging.DebContents Packaging.DebLintian
                       PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
