# The live source: test pattern, conversion, frame rate and audio cadence, channel maps, cell drawing.
tidewell_add_test(NAME tst_source SOURCES tst_source.cpp tst_sourcehelpers.h LIBS tidewell_media PkgConfig::FFMPEG
    LABELS unit TIMEOUT 60)
# The device framework: fake providers, lines, properties, external audio, source changes while streaming.
tidewell_add_test(NAME tst_sourcedevices SOURCES tst_sourcedevices.cpp tst_sourcehelpers.h
    LIBS tidewell_media PkgConfig::FFMPEG LABELS unit TIMEOUT 60)
