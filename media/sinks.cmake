# In-process sink, frames from memory and conversion, reader, renderer.
target_sources(tidewell_media PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/mfsink.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mffactory.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mfreader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mfrenderer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mfvideoformattable.cpp)
