# The writer: option text and codec table as units; real encoders end to end, judged by ffprobe.
tidewell_add_test(NAME tst_mfwriteroptions SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_writeroptions.cpp
    LIBS tidewell_media LABELS unit)
tidewell_add_test(NAME tst_mfwriter
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_writer.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tst_writersource.cpp ${CMAKE_CURRENT_LIST_DIR}/tst_writersource.h
    LIBS tidewell_media PkgConfig::FFMPEG Qt5::Network LABELS peer slow TIMEOUT 300)
# Every encoder at the ends of the form's bitrate, frame size and rate ranges, each encode in a child process.
tidewell_add_test(NAME tst_encodersweep
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_encodersweep.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tst_writersource.cpp ${CMAKE_CURRENT_LIST_DIR}/tst_writersource.h
    LIBS tidewell_media PkgConfig::FFMPEG LABELS peer long TIMEOUT 600)
