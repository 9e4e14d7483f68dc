# Runs the speed test across a tbf-shaped veth between namespaces, with the tests' helpers for the link and delay.
if(TARGET tidewell_testkit AND TARGET udpimpairproxy)
    add_executable(bench_speedtest ${CMAKE_CURRENT_LIST_DIR}/bench_speedtest.cpp)
    target_link_libraries(bench_speedtest PRIVATE tidewell_transport tidewell_testkit Qt5::Core Qt5::Network)
    target_compile_definitions(bench_speedtest PRIVATE TIDEWELL_UDPIMPAIRPROXY="$<TARGET_FILE:udpimpairproxy>")
    add_dependencies(bench_speedtest udpimpairproxy)
endif()
