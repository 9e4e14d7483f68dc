add_executable(bench_ristrelay ${CMAKE_CURRENT_LIST_DIR}/bench_ristrelay.cpp)
target_link_libraries(bench_ristrelay PRIVATE tidewell_transport Qt5::Core Qt5::Network)
