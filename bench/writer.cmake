# bench_writer: CPU per frame and peak memory of our writer pipeline against the ffmpeg command line.
add_executable(bench_writer ${CMAKE_CURRENT_LIST_DIR}/bench_writer.cpp
    ${CMAKE_SOURCE_DIR}/tests/media/tst_writersource.cpp ${CMAKE_SOURCE_DIR}/tests/media/tst_writersource.h)
target_include_directories(bench_writer PRIVATE ${CMAKE_SOURCE_DIR}/tests/media)
target_link_libraries(bench_writer PRIVATE tidewell_media PkgConfig::FFMPEG Qt5::Core)
