# The preview draws into a real widget (offscreen platform).
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tst_preview.cpp)
    tidewell_add_test(NAME tst_preview SOURCES tst_preview.cpp
        LIBS tidewell_media_preview Qt5::Widgets PkgConfig::FFMPEG LABELS gui TIMEOUT 120)
endif()
