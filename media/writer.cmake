# Encoding and muxing: MFWriter, its option text, the codec table, the encoders and the FFmpeg log hook.
target_sources(tidewell_media PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/mfwriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mfwriteroptions.cpp ${CMAKE_CURRENT_LIST_DIR}/mfwriteroptions.h
    ${CMAKE_CURRENT_LIST_DIR}/mfwriteroutput.cpp ${CMAKE_CURRENT_LIST_DIR}/mfwriteroutput.h
    ${CMAKE_CURRENT_LIST_DIR}/mfcodectable.cpp ${CMAKE_CURRENT_LIST_DIR}/mfcodectable.h
    ${CMAKE_CURRENT_LIST_DIR}/mfencoderprobe.cpp ${CMAKE_CURRENT_LIST_DIR}/mfencoderprobe.h
    ${CMAKE_CURRENT_LIST_DIR}/mfvideoencoder.cpp ${CMAKE_CURRENT_LIST_DIR}/mfvideoencoder.h
    ${CMAKE_CURRENT_LIST_DIR}/mfavvideoencoder.cpp ${CMAKE_CURRENT_LIST_DIR}/mfavvideoencoder.h
    ${CMAKE_CURRENT_LIST_DIR}/mfopenh264encoder.cpp ${CMAKE_CURRENT_LIST_DIR}/mfopenh264encoder.h
    ${CMAKE_CURRENT_LIST_DIR}/mfaudioencoder.cpp ${CMAKE_CURRENT_LIST_DIR}/mfaudioencoder.h
    ${CMAKE_CURRENT_LIST_DIR}/mfffmpeglog.cpp ${CMAKE_CURRENT_LIST_DIR}/mfffmpeglog.h)
