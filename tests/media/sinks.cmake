# Sink, frame factory, renderer, reader and FFmpeg log of the media layer.
foreach(group tst_sink tst_sinkfactory tst_ffmpeglog)
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${group}.cpp)
        tidewell_add_test(NAME ${group} SOURCES ${group}.cpp LIBS tidewell_media PkgConfig::FFMPEG LABELS unit)
    endif()
endforeach()
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tst_reader.cpp)
    tidewell_add_test(NAME tst_reader SOURCES tst_reader.cpp LIBS tidewell_media PkgConfig::FFMPEG
        LABELS peer TIMEOUT 180)
endif()
