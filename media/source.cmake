# The live source (MFormats), its device framework and built-in test pattern, and conversion helpers.
target_sources(tidewell_media PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/mformats.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mfaudiochannelmap.cpp ${CMAKE_CURRENT_LIST_DIR}/mfaudiochannelmap.h
    ${CMAKE_CURRENT_LIST_DIR}/mfaudiopipe.cpp ${CMAKE_CURRENT_LIST_DIR}/mfaudiopipe.h
    ${CMAKE_CURRENT_LIST_DIR}/mfframerate.cpp ${CMAKE_CURRENT_LIST_DIR}/mfframerate.h
    ${CMAKE_CURRENT_LIST_DIR}/mfsampleformat.cpp ${CMAKE_CURRENT_LIST_DIR}/mfsampleformat.h
    ${CMAKE_CURRENT_LIST_DIR}/mfalphamask.cpp ${CMAKE_CURRENT_LIST_DIR}/mfalphamask.h
    ${CMAKE_CURRENT_LIST_DIR}/mfglasstoglass.cpp ${CMAKE_CURRENT_LIST_DIR}/mfglasstoglass.h
    ${CMAKE_CURRENT_LIST_DIR}/mfvitcreader.cpp ${CMAKE_CURRENT_LIST_DIR}/mfvitcreader.h
    ${CMAKE_CURRENT_LIST_DIR}/mfvideoconvert.cpp ${CMAKE_CURRENT_LIST_DIR}/mfvideoconvert.h
    ${CMAKE_CURRENT_LIST_DIR}/mfcellmarkup.cpp ${CMAKE_CURRENT_LIST_DIR}/mfcellmarkup.h
    ${CMAKE_CURRENT_LIST_DIR}/devices/mfdevicebackend.cpp ${CMAKE_CURRENT_LIST_DIR}/devices/mfdevicebackend.h
    ${CMAKE_CURRENT_LIST_DIR}/devices/mfdeviceregistry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/devices/mftestpattern.cpp ${CMAKE_CURRENT_LIST_DIR}/devices/mftestpattern.h)
