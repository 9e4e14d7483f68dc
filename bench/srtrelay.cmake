add_executable(bench_srtrelay ${CMAKE_CURRENT_LIST_DIR}/bench_srtrelay.cpp)
target_link_libraries(bench_srtrelay PRIVATE tidewell_transport Qt5::Core Qt5::Network)
