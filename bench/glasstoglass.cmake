add_executable(bench_glasstoglass ${CMAKE_CURRENT_LIST_DIR}/bench_glasstoglass.cpp)
target_link_libraries(bench_glasstoglass PRIVATE tidewell_capture tidewell_transport tidewell_media Qt5::Core
    Qt5::Network)
