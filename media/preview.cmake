# MFPreview: the only media class that touches widgets, so it has a target of its own.
add_library(tidewell_media_preview STATIC
    ${CMAKE_CURRENT_LIST_DIR}/mfpreview.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mfpreview.h)
target_link_libraries(tidewell_media_preview
    PUBLIC tidewell_media Qt5::Widgets
    PRIVATE PkgConfig::PULSE Threads::Threads)
