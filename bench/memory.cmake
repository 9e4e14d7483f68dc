# bench_memory: resident memory of the main window streaming 1080p30 over SRT, across Start/Stop cycles and
# (scripts/bench soak) in a long stream with reconnects.
add_executable(bench_memory ${CMAKE_CURRENT_LIST_DIR}/bench_memory.cpp)
target_link_libraries(bench_memory PRIVATE tidewell_app_core)
