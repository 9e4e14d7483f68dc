# Device backends of the live source: X11 screen, V4L2 cameras, PulseAudio and ALSA capture.
# Included by media/CMakeLists.txt.
set(_devices ${CMAKE_CURRENT_SOURCE_DIR}/devices)
target_sources(tidewell_media PRIVATE
    ${_devices}/capturethreadgate.h
    ${_devices}/devicegrabber.cpp ${_devices}/devicegrabber.h
    ${_devices}/grabbervideodevice.cpp ${_devices}/grabbervideodevice.h
    ${_devices}/x11connectionwatch.cpp ${_devices}/x11connectionwatch.h
    ${_devices}/x11screenlayout.cpp ${_devices}/x11screenlayout.h
    ${_devices}/x11screendevice.cpp ${_devices}/x11screendevice.h
    ${_devices}/x11screenprovider.cpp ${_devices}/x11screenprovider.h
    ${_devices}/v4l2formatchooser.cpp ${_devices}/v4l2formatchooser.h
    ${_devices}/v4l2query.cpp ${_devices}/v4l2query.h
    ${_devices}/v4l2cameradevice.cpp ${_devices}/v4l2cameradevice.h
    ${_devices}/v4l2cameraprovider.cpp ${_devices}/v4l2cameraprovider.h
    ${_devices}/pulseclient.cpp ${_devices}/pulseclient.h
    ${_devices}/pulseaudiodevice.cpp ${_devices}/pulseaudiodevice.h
    ${_devices}/pulseaudioprovider.cpp ${_devices}/pulseaudioprovider.h
    ${_devices}/alsaaudiodevice.cpp ${_devices}/alsaaudiodevice.h
    ${_devices}/alsaaudioprovider.cpp ${_devices}/alsaaudioprovider.h
    ${_devices}/mfsinkprovider.cpp ${_devices}/mfsinkprovider.h
    ${_devices}/platformdevices.cpp)
target_compile_definitions(tidewell_media PRIVATE TIDEWELL_HAVE_PLATFORM_DEVICES)
# libXrandr is loaded at run time (x11screenlayout.cpp); XCB watches the X server (x11connectionwatch.cpp).
pkg_check_modules(TIDEWELL_XCB REQUIRED IMPORTED_TARGET GLOBAL xcb)
target_link_libraries(tidewell_media PRIVATE PkgConfig::TIDEWELL_XCB ${CMAKE_DL_LIBS})
unset(_devices)
