# The Debian package: `scripts/package` (or `cpack -G DEB` in the build folder) makes
# tidewell_<version>-<build>_<arch>.deb from what `cmake --install` puts in place.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tidewell)
set(CPACK_PACKAGE_VENDOR Brackmoor)
set(CPACK_PACKAGE_CONTACT "Brackmoor <tidewell@tidewell.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live contribution encoder sending MPEG-TS over SRT or RIST")
# Debian wants the description's lines below 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "Tidewell captures a video source (a screen, a camera, a capture card) and an
audio source, encodes them into an MPEG transport stream and sends it to a
server over SRT in caller mode, or over RIST, optionally bonded across several
network interfaces. A stream that fails is restarted by itself, up to a limit
the operator sets. It also streams without a display from a configuration file
named on the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# The build number is the Debian revision, so that every build of a release upgrades the one before.
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TIDEWELL_BUILD_NUMBER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://help.tidewell.example/)
# dpkg-shlibdeps turns the shared libraries the binary links into the package's dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The peers a user needs to try a stream locally, not needed to run.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "srt-tools, rist-tools, ffmpeg")

include(CPack)
