# Device backends: mode choice and name rules, absent devices (unit); the X screen under Xvfb (display);
# sound capture from a PulseAudio server the test starts (peer).
tidewell_add_test(NAME tst_devices SOURCES tst_devices.cpp LIBS tidewell_media LABELS unit TIMEOUT 60)
tidewell_add_test(NAME tst_devices_screen SOURCES tst_devices_screen.cpp LIBS tidewell_media PkgConfig::X11
    LABELS peer DISPLAY TIMEOUT 120)
tidewell_add_test(NAME tst_devices_audio SOURCES tst_devices_audio.cpp LIBS tidewell_media LABELS peer TIMEOUT 120)
